// JUCE's X connection: the monitors are read beside it, and events left in
// Xlib's queue by a round trip on it still reach JUCE's loop.

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

// X's headers (through JUCE's) after the test framework's, whose names they clash with.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>

#include "platform/X11Backend.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11QueuedEventWake.h"

/** A window of JUCE's, and an event for it waiting on JUCE's socket, unread. */
struct JuceDisplay : ::testing::Test
{
    juce::Component window;
    X11Connection other { {} };
    ::Display* display = nullptr;

    void SetUp() override
    {
        window.setBounds (100, 100, 200, 100);
        window.addToDesktop (0);
        window.setVisible (true);
        TestEnvironment::pump (300);
        display = juce::XWindowSystem::getInstance()->getDisplay();
        ASSERT_NE (display, nullptr);
        ASSERT_TRUE (other.isOk());

        xcb_client_message_event_t message {};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = (xcb_window_t) (juce::pointer_sized_uint) window.getPeer()->getNativeHandle();
        message.type = XCB_ATOM_STRING;
        xcb_send_event (other.get(), 0, message.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*> (&message));
        ASSERT_TRUE (other.sync());
        juce::Thread::sleep (100);
    }

    int queued() const { return XEventsQueued (display, QueuedAlready); }
};

// The desktop watch reads the monitors ten times a second on the message
// thread. Read on JUCE's connection, each reply would draw the events queued
// behind it into Xlib's queue, out of sight of JUCE's loop, which waits on
// the socket: a click on the window then waited for the next pointer move.
TEST_F (JuceDisplay, MonitorsAreReadWithoutTakingTheEventsWaitingForJuce)
{
    auto const before = queued();
    auto const areas = readX11MonitorAreas();
    ASSERT_FALSE (areas.empty());
    EXPECT_EQ (areas.front(), juce::Rectangle<int> (0, 0, other.getScreenWidth(), other.getScreenHeight()));
    EXPECT_EQ (queued(), before) << "the event was drawn into Xlib's queue";
}

// JUCE itself reads replies on its connection (the pointer's position while a
// menu is open): events drawn into Xlib's queue on the way must still reach
// the window without another event to wake the loop.
TEST_F (JuceDisplay, EventsLeftInXlibsQueueReachJucesLoop)
{
    XSync (display, False);
    ASSERT_GT (queued(), 0);

    X11QueuedEventWake wake;
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return queued() == 0; }, 2000));
}
