#pragma once

#include "input/SocketThread.h"

#include <juce_core/juce_core.h>
#include <juce_cryptography/juce_cryptography.h>

/** The event datagram: one input event as a short text, padded and encrypted
    with Blowfish, one UDP datagram per event.

    Text: see makeText. Padding: p = 8 - (n mod 8) bytes of value p are
    appended (8 when n is a multiple of 8). Cipher: Blowfish in electronic-
    codebook mode, keyed with the key's UTF-8 bytes; within each 8-byte block
    bytes 0-3 are the left half and bytes 4-7 the right half, both little-
    endian, whatever the machine's byte order.

    The sender builds datagrams with makeText and encrypt, the receiver reads
    them with decode. The cipher is immutable after construction: one object
    may be used from several threads at once. */
class EventDatagram
{
public:
    /** The cipher keyed with the UTF-8 bytes of the key. */
    explicit EventDatagram (juce::String const& key);

    /** The plain text of an event; empty for a type that has none.
        sameSystem: the receiver runs the same system as this machine, so
        keys travel by key code and flags instead of by name. */
    static juce::String makeText (SocketThread::EventPlusData const& event, bool sameSystem);

    /** The datagram of a text: its UTF-8 bytes, padded and encrypted. */
    juce::MemoryBlock encrypt (juce::String const& text) const;

    /** The text of a received datagram. A size that is a multiple of 8 is
        decrypted and its padding dropped when the last byte is a valid
        padding length (otherwise every decrypted byte counts); any other
        size is taken as plain text. Read as UTF-8 up to the first zero byte
        (a leading zero gives the empty text); bytes that form no character
        read as U+FFFD. */
    juce::String decode (void const* data, size_t size) const;

private:
    juce::BlowFish blowFish;
};
