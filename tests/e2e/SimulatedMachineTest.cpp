// The harness itself, without the program: each machine has a display of its
// own, the probe sees what is injected there and nothing from elsewhere, and
// another X client reads what a machine offers on its clipboard.
#include "e2e/WholeProgramTest.h"

using SimulatedMachines = WholeProgramTest;

TEST_F (SimulatedMachines, HaveDisplaysOfTheirOwnWhereInjectedInputAndTheClipboardStay)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);

    for (auto* m : { &a, &b })
    {
        ASSERT_TRUE (m->moveTo ({ 5000, 5000 })) << m->lastFailure;
        EXPECT_EQ (m->pointer(), juce::Point<int> (m->width - 1, m->height - 1)) << m->name;
    }

    ASSERT_TRUE (a.tap (Keys::a) && a.click());
    EXPECT_EQ (a.takeInput(), "K38/0 k38/0 B1/0 b1/256");
    EXPECT_EQ (b.takeInput(), "");

    auto const text = juce::String (juce::CharPointer_UTF8 ("Gr\xc3\xbc\xc3\x9f" "e\nline two"));
    ASSERT_TRUE (a.offerText (text)) << a.lastFailure;
    auto read = a.readClipboard();
    ASSERT_TRUE (read.has_value()) << a.lastFailure;
    EXPECT_EQ (read->toString(), text);
    EXPECT_FALSE (b.readClipboard().has_value()) << "B's clipboard is its own";

    auto file = a.base.getChildFile ("offered file.txt");
    ASSERT_TRUE (file.replaceWithText ("x"));
    ASSERT_TRUE (a.offerFiles ({ file })) << a.lastFailure;
    read = a.readClipboard ("text/uri-list");
    ASSERT_TRUE (read.has_value()) << a.lastFailure;
    EXPECT_EQ (read->toString(), juce::URL (file).toString (false) + "\r\n");

    ASSERT_TRUE (a.screenshot (a.base.getChildFile ("a.png")));
    auto image = juce::ImageFileFormat::loadFrom (a.base.getChildFile ("a.png"));
    EXPECT_EQ (image.getBounds(), juce::Rectangle<int> (0, 0, 1920, 1080));
}
