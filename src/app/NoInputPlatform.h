#pragma once

#include "platform/InputPlatform.h"

/** The input platform of a desktop that lets this program neither watch nor
    make input (an X server without XTEST, XInput 2.2 or XKB). There is no
    tap, nothing is posted, warped or withheld: the program runs on, shows the
    layout and hands the clipboard over, but shares no keyboard and mouse. */
class NoInputPlatform : public InputPlatform
{
public:
    std::unique_ptr<EventTap> createEventTap (EventTap::Callback) override        { return {}; }
    bool postEvent (const InputEvent&) override                                    { return false; }
    void releaseHeldInput() override                                               {}
    juce::Point<double> getPointerLocation() override                              { return {}; }
    bool warpPointer (juce::Point<double>) override                                { return false; }
    void showCursor() override                                                     {}
    std::shared_ptr<const KeyboardLayout> getCurrentKeyboardLayout() override      { return {}; }
    void declareUserActivity (const juce::String&) override                        {}

protected:
    bool applyWithholding (bool) override                                          { return false; }
};
