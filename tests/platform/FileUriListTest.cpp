#include "platform/FileUriList.h"

#include <gmock/gmock.h>

TEST (FileUriList, WritesPercentEncodedFileUrisEachEndedByCrLf)
{
    EXPECT_EQ (FileUriList::fileUri ("/tmp/a b/c%d#e?f.txt"), "file:///tmp/a%20b/c%25d%23e%3Ff.txt");
    EXPECT_EQ (FileUriList::fileUri (juce::String (juce::CharPointer_UTF8 ("/h\xc3\xa9/~x-y_z.1"))), "file:///h%C3%A9/~x-y_z.1");
    EXPECT_EQ (FileUriList::make ({ "/a", "/b c" }).toStdString(), "file:///a\r\nfile:///b%20c\r\n");

    juce::StringArray paths { "/x/y z", juce::String (juce::CharPointer_UTF8 ("/\xe2\x82\xac/%")) };
    EXPECT_EQ (FileUriList::paths (FileUriList::make (paths)), paths);
}

TEST (FileUriList, ReadsThePathPartOfEveryKindOfUriInOrder)
{
    const std::pair<const char*, juce::String> uris[] = {
        { "file:///tmp/a%20b", "/tmp/a b" }, { "file://localhost/etc/x", "/etc/x" }, { "file:/single/slash", "/single/slash" },
        { "https://example.com/p/q%2Fr?s=1#t", "/p/q/r" }, { "FILE:///upper", "/upper" },
        { "file:///h%c3%a9", juce::String (juce::CharPointer_UTF8 ("/h\xc3\xa9")) }, { "file:///50%", "/50%" },
        // No path: none at all, no scheme, a bad one, a NUL or bad UTF-8 once decoded.
        { "https://example.com", "" }, { "https://example.com?x", "" }, { "mailto:a@b.c", "" }, { "/no/scheme", "" },
        { "1x:/bad/scheme", "" }, { "", "" }, { "file:///nul%00byte", "" }, { "file:///bad%FFutf8", "" },
    };

    for (auto& [uri, path] : uris)
        EXPECT_EQ (FileUriList::pathOf (uri), path) << uri;

    // Comments, blank lines and URIs without a path are skipped; LF alone ends a line too.
    auto list = juce::String ("# copied\r\nfile:///one\r\n\r\nhttps://example.com\r\nfile:///two%20x\nhttp://h/three\r\n");
    EXPECT_EQ (FileUriList::paths (list).joinIntoString ("|"), "/one|/two x|/three");
    EXPECT_TRUE (FileUriList::paths ("").isEmpty());
}
