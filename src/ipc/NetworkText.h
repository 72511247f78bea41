#pragma once

#include <juce_core/juce_core.h>

/** Turning bytes that came from the network into text.

    juce::String keeps UTF-8 as it is handed over, and its own operations assume
    that it is well formed: a String made from invalid UTF-8 can make later
    operations (substring, fromFirstOccurrenceOf...) write past their buffers.
    Every reader of received bytes therefore decodes them here: well-formed UTF-8
    is taken as it stands; each byte of an ill-formed sequence becomes U+FFFD.
    Text ends at the first zero byte, as it would for a C string. The text is
    written straight into a string of its own size: decoding never holds more
    than the text it makes (received texts may be large).
*/
namespace NetworkText
{
    juce::String fromBytes (void const* data, size_t size);
    juce::String fromBytes (juce::MemoryBlock const& block);

    /** The size of the UTF-8 that fromBytes makes of the bytes, without a
        terminator, found without making it: the bytes up to the first zero
        when they are well-formed, more when they are not (each byte of an
        ill-formed sequence becomes the three bytes of U+FFFD). */
    size_t decodedSize (void const* data, size_t size);

    /** Writes the UTF-8 that fromBytes makes of the bytes to 'out', which
        holds decodedSize (data, size) bytes; no terminator. */
    void decodeInto (void const* data, size_t size, char* out);

    /** True when the bytes up to the first zero byte (all of them when there is
        none) are well-formed UTF-8, so that fromBytes would keep them as they are. */
    bool isWellFormed (void const* data, size_t size);
}
