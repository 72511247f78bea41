#include "platform/FileUriList.h"

#include <cctype>
#include <string>

namespace
{
bool keptAsIs (juce::uint8 byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
        || byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '/';
}

int hexValue (char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes UTF-8 bytes; false on a NUL byte or bytes that are not UTF-8.
bool decode (std::string const& encoded, juce::String& result)
{
    std::string bytes;
    bytes.reserve (encoded.size());

    for (size_t i = 0; i < encoded.size(); ++i)
    {
        auto c = encoded[i];

        if (c == '%' && i + 2 < encoded.size() && hexValue (encoded[i + 1]) >= 0 && hexValue (encoded[i + 2]) >= 0)
        {
            c = (char) (hexValue (encoded[i + 1]) * 16 + hexValue (encoded[i + 2]));
            i += 2;
        }

        if (c == 0)
            return false;

        bytes.push_back (c);
    }

    if (! juce::CharPointer_UTF8::isValidString (bytes.data(), (int) bytes.size()))
        return false;

    result = juce::String::fromUTF8 (bytes.data(), (int) bytes.size());
    return true;
}
} // namespace

namespace FileUriList
{
juce::String fileUri (juce::String const& absolutePath)
{
    static const char* const hexDigits = "0123456789ABCDEF";
    std::string uri = "file://";

    for (auto const* p = absolutePath.toRawUTF8(); *p != 0; ++p)
    {
        auto byte = (juce::uint8) *p;

        if (keptAsIs (byte))
        {
            uri.push_back ((char) byte);
        }
        else
        {
            uri.push_back ('%');
            uri.push_back (hexDigits[byte >> 4]);
            uri.push_back (hexDigits[byte & 15]);
        }
    }

    return juce::String::fromUTF8 (uri.data(), (int) uri.size());
}

juce::String make (juce::StringArray const& absolutePaths)
{
    juce::String list;

    for (auto& path : absolutePaths)
        list << fileUri (path) << "\r\n";

    return list;
}

juce::String pathOf (juce::String const& uri)
{
    auto text = uri.trim().toStdString();

    // The scheme: a letter, then letters, digits, '+', '-' or '.', then ':'.
    size_t colon = 0;

    while (colon < text.size() && text[colon] != ':')
    {
        auto c = (unsigned char) text[colon];
        bool allowed = std::isalpha (c) || (colon > 0 && (std::isdigit (c) || c == '+' || c == '-' || c == '.'));

        if (! allowed)
            return {};

        ++colon;
    }

    if (colon == 0 || colon == text.size())
        return {};

    auto rest = text.substr (colon + 1);

    if (rest.rfind ("//", 0) == 0)
    {
        auto pathStart = rest.find_first_of ("/?#", 2);

        if (pathStart == std::string::npos || rest[pathStart] != '/')
            return {};

        rest = rest.substr (pathStart);
    }

    if (rest.empty() || rest[0] != '/')
        return {};

    rest = rest.substr (0, rest.find_first_of ("?#"));

    juce::String path;
    return decode (rest, path) ? path : juce::String();
}

juce::StringArray paths (juce::String const& list)
{
    juce::StringArray lines, result;
    lines.addLines (list);

    for (auto& line : lines)
    {
        auto trimmed = line.trim();

        if (trimmed.isEmpty() || trimmed.startsWithChar ('#'))
            continue;

        auto path = pathOf (trimmed);

        if (path.isNotEmpty())
            result.add (path);
    }

    return result;
}
} // namespace FileUriList
