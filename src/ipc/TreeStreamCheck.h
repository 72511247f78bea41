#pragma once

#include <cstddef>

/** Decides whether juce::ValueTree::readFromData can read a payload safely.

    JUCE's reader trusts the counts and sizes in the stream: a deeply nested
    payload exhausts the stack, a huge child, property or array count makes it
    allocate or loop billions of times, a huge binary size allocates that much,
    and one count encoding overflows a signed int. This check walks the stream
    exactly as JUCE's reader would, without building anything, and refuses a
    payload whose nesting is deeper than maxDepth or whose counts and sizes
    exceed what the bytes left could hold, that holds an empty binary value
    (which JUCE may compare through null pointers), a NaN (which JUCE turns into
    text through an undefined cast), or a text (type, property name, string
    value) that is not well-formed UTF-8, which later juce::String operations
    would read or write past its end (see NetworkText).
    Everything else (trailing bytes, a tree that simply ends early) is left to
    JUCE, which reads it harmlessly.
*/
namespace TreeStreamCheck
{
    /** Trees of the control protocol are two levels deep; this leaves ample room. */
    inline constexpr int maxDepth = 32;

    bool isSafeToRead (void const* data, size_t size);
}
