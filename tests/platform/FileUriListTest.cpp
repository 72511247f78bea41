#include "platform/FileUriList.h"
#include "PlatformTestSupport.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

using PlatformTest::toVector;

TEST (FileUriList, WritesPercentEncodedFileUrisEachEndedByCrLf)
{
    EXPECT_EQ (FileUriList::fileUri ("/tmp/a b/c%d#e?f.txt"), "file:///tmp/a%20b/c%25d%23e%3Ff.txt");
    EXPECT_EQ (FileUriList::fileUri (juce::String (juce::CharPointer_UTF8 ("/h\xc3\xa9/~x-y_z.1"))),
               "file:///h%C3%A9/~x-y_z.1");

    auto list = FileUriList::make ({ "/a", "/b c" });
    EXPECT_EQ (list, "file:///a\r\nfile:///b%20c\r\n");
    auto bytes = list.toStdString();
    EXPECT_EQ (bytes, std::string ("file:///a\r\nfile:///b%20c\r\n"));
}

TEST (FileUriList, ReadsThePathPartOfEveryKindOfUri)
{
    EXPECT_EQ (FileUriList::pathOf ("file:///tmp/a%20b"), "/tmp/a b");
    EXPECT_EQ (FileUriList::pathOf ("file://localhost/etc/x"), "/etc/x");
    EXPECT_EQ (FileUriList::pathOf ("file:/single/slash"), "/single/slash");
    EXPECT_EQ (FileUriList::pathOf ("https://example.com/p/q%2Fr?s=1#t"), "/p/q/r");
    EXPECT_EQ (FileUriList::pathOf ("FILE:///upper"), "/upper");
    EXPECT_EQ (FileUriList::pathOf ("file:///h%c3%a9"), juce::String (juce::CharPointer_UTF8 ("/h\xc3\xa9")));
    EXPECT_EQ (FileUriList::pathOf ("file:///50%"), "/50%") << "a stray percent stays";

    for (auto* noPath : { "https://example.com", "https://example.com?x", "mailto:a@b.c", "/no/scheme",
                          "1x:/bad/scheme", "", "file:///nul%00byte", "file:///bad%FFutf8" })
        EXPECT_EQ (FileUriList::pathOf (noPath), "") << noPath;
}

TEST (FileUriList, ListsKeepOrderAndSkipCommentsBlanksAndPathlessUris)
{
    auto list = juce::String ("# copied\r\nfile:///one\r\n\r\nhttps://example.com\r\nfile:///two%20x\nhttp://h/three\r\n");
    EXPECT_THAT (toVector (FileUriList::paths (list)), ElementsAre ("/one", "/two x", "/three"));

    juce::StringArray paths { "/x/y z", juce::String (juce::CharPointer_UTF8 ("/\xe2\x82\xac/%")) };
    EXPECT_EQ (FileUriList::paths (FileUriList::make (paths)), paths);
    EXPECT_TRUE (FileUriList::paths ("").isEmpty());
}
