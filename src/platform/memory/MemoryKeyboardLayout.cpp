#include "platform/memory/MemoryKeyboardLayout.h"

namespace
{
// What a US layout types for each key with no modifier held.
struct UsKey
{
    juce::uint16 code;
    const char16_t* text;
};

constexpr UsKey usKeys[] = {
    { 0, u"a" },  { 1, u"s" },  { 2, u"d" },  { 3, u"f" },  { 4, u"h" },  { 5, u"g" },
    { 6, u"z" },  { 7, u"x" },  { 8, u"c" },  { 9, u"v" },  { 10, u"\u00a7" }, { 11, u"b" },
    { 12, u"q" }, { 13, u"w" }, { 14, u"e" }, { 15, u"r" }, { 16, u"y" }, { 17, u"t" },
    { 18, u"1" }, { 19, u"2" }, { 20, u"3" }, { 21, u"4" }, { 22, u"6" }, { 23, u"5" },
    { 24, u"=" }, { 25, u"9" }, { 26, u"7" }, { 27, u"-" }, { 28, u"8" }, { 29, u"0" },
    { 30, u"]" }, { 31, u"o" }, { 32, u"u" }, { 33, u"[" }, { 34, u"i" }, { 35, u"p" },
    { 36, u"\r" }, { 37, u"l" }, { 38, u"j" }, { 39, u"'" }, { 40, u"k" }, { 41, u";" },
    { 42, u"\\" }, { 43, u"," }, { 44, u"/" }, { 45, u"n" }, { 46, u"m" }, { 47, u"." },
    { 48, u"\t" }, { 49, u" " }, { 50, u"`" }, { 51, u"\x08" }, { 52, u"\x03" }, { 53, u"\x1b" },
    { 64, u"\x10" }, { 65, u"." }, { 67, u"*" }, { 69, u"+" }, { 71, u"\x1b" }, { 75, u"/" },
    { 76, u"\x03" }, { 78, u"-" }, { 79, u"\x10" }, { 80, u"\x10" }, { 81, u"=" },
    { 82, u"0" }, { 83, u"1" }, { 84, u"2" }, { 85, u"3" }, { 86, u"4" }, { 87, u"5" },
    { 88, u"6" }, { 89, u"7" }, { 90, u"\x10" }, { 91, u"8" }, { 92, u"9" },
    { 96, u"\x10" }, { 97, u"\x10" }, { 98, u"\x10" }, { 99, u"\x10" }, { 100, u"\x10" },
    { 101, u"\x10" }, { 103, u"\x10" }, { 105, u"\x10" }, { 106, u"\x10" }, { 107, u"\x10" },
    { 109, u"\x10" }, { 111, u"\x10" }, { 113, u"\x10" }, { 114, u"\x05" }, { 115, u"\x01" },
    { 116, u"\x0b" }, { 117, u"\x7f" }, { 118, u"\x10" }, { 119, u"\x04" }, { 120, u"\x10" },
    { 121, u"\x0c" }, { 122, u"\x10" }, { 123, u"\x1c" }, { 124, u"\x1d" }, { 125, u"\x1f" },
    { 126, u"\x1e" },
};

// Base letter and its precomposed form, per accent.
struct Accent
{
    char16_t accent;
    const char16_t* pairs;
};

constexpr Accent accents[] = {
    { u'\u00b4', u"a\u00e1e\u00e9i\u00edo\u00f3u\u00fay\u00fdA\u00c1E\u00c9I\u00cdO\u00d3U\u00daY\u00dd" },
    { u'`',      u"a\u00e0e\u00e8i\u00eco\u00f2u\u00f9A\u00c0E\u00c8I\u00ccO\u00d2U\u00d9" },
    { u'^',      u"a\u00e2e\u00eai\u00eeo\u00f4u\u00fbA\u00c2E\u00caI\u00ceO\u00d4U\u00db" },
    { u'\u00a8', u"a\u00e4e\u00ebi\u00efo\u00f6u\u00fcy\u00ffA\u00c4E\u00cbI\u00cfO\u00d6U\u00dc" },
    { u'~',      u"a\u00e3n\u00f1o\u00f5A\u00c3N\u00d1O\u00d5" },
};

char16_t compose (juce::juce_wchar accent, char16_t base)
{
    for (auto& a : accents)
        if (a.accent == accent)
            for (auto* p = a.pairs; p[0] != 0 && p[1] != 0; p += 2)
                if (p[0] == base)
                    return p[1];

    return 0;
}

void append (KeyTranslation& result, const std::u16string& text)
{
    for (auto unit : text)
        if (result.length < KeyTranslation::maxUnits)
            result.units[(size_t) result.length++] = unit;
}
} // namespace

MemoryKeyboardLayout::MemoryKeyboardLayout()
{
    for (auto& k : usKeys)
        keys[k.code].text = k.text;
}

void MemoryKeyboardLayout::setKey (juce::uint16 code, const juce::String& text)
{
    Key key;
    auto utf16 = text.toUTF16();
    const auto units = utf16.sizeInBytes() / sizeof (juce::CharPointer_UTF16::CharType) - 1;
    key.text.assign (reinterpret_cast<const char16_t*> (utf16.getAddress()),
                     std::min<size_t> (units, KeyTranslation::maxUnits));
    keys[code] = key;
}

void MemoryKeyboardLayout::setDeadKey (juce::uint16 code, juce::juce_wchar accent)
{
    Key key;
    key.kind = Key::Kind::dead;
    key.accent = accent;
    keys[code] = key;
}

void MemoryKeyboardLayout::setUntranslatable (juce::uint16 code)
{
    Key key;
    key.kind = Key::Kind::fails;
    keys[code] = key;
}

KeyTranslation MemoryKeyboardLayout::translate (juce::uint16 code, juce::uint32& deadKeyState) const
{
    KeyTranslation result;

    auto found = keys.find (code);

    if (code > 127 || (found != keys.end() && found->second.kind == Key::Kind::fails))
        return result;

    result.ok = true;

    if (found == keys.end())
        return result;

    auto& key = found->second;
    const auto pending = (juce::juce_wchar) deadKeyState;

    if (key.kind == Key::Kind::dead)
    {
        if (pending == 0)
        {
            deadKeyState = (juce::uint32) key.accent;
            return result;
        }

        deadKeyState = 0;
        append (result, { (char16_t) pending });

        if (key.accent != pending)
            append (result, { (char16_t) key.accent });

        return result;
    }

    if (key.text.empty())
        return result;

    if (pending == 0)
    {
        append (result, key.text);
        return result;
    }

    deadKeyState = 0;

    if (key.text == u" ")
    {
        append (result, { (char16_t) pending });
    }
    else if (auto composed = compose (pending, key.text[0]))
    {
        append (result, { composed });
    }
    else
    {
        append (result, { (char16_t) pending });
        append (result, key.text);
    }

    return result;
}
