#include "platform/InputEvent.h"

namespace MacKeyCodes
{
juce::uint64 flagOfModifierKey (juce::uint16 code)
{
    switch (code)
    {
        case command: case rightCommand: return EventFlags::command;
        case shift:   case rightShift:   return EventFlags::shift;
        case option:  case rightOption:  return EventFlags::option;
        case control: case rightControl: return EventFlags::control;
        default:                         return 0;
    }
}

bool isModifierKey (juce::uint16 code)
{
    return code >= rightCommand && code <= function;
}
} // namespace MacKeyCodes

bool InputEvent::isKeyboardEvent() const noexcept
{
    return type == InputEventType::keyDown || type == InputEventType::keyUp
        || type == InputEventType::flagsChanged;
}

bool InputEvent::isMotion() const noexcept
{
    return type == InputEventType::mouseMoved || type == InputEventType::leftMouseDragged
        || type == InputEventType::rightMouseDragged || type == InputEventType::otherMouseDragged;
}

bool InputEvent::isButtonEvent() const noexcept
{
    return type == InputEventType::leftMouseDown || type == InputEventType::leftMouseUp
        || type == InputEventType::rightMouseDown || type == InputEventType::rightMouseUp
        || type == InputEventType::otherMouseDown || type == InputEventType::otherMouseUp;
}

bool InputEvent::isWithholdable() const noexcept
{
    return isKeyboardEvent() || isButtonEvent() || type == InputEventType::scrollWheel;
}

InputEvent InputEvent::mouseMove (juce::Point<double> location, bool leftButtonHeld)
{
    InputEvent e;
    e.type = leftButtonHeld ? InputEventType::leftMouseDragged : InputEventType::mouseMoved;
    e.location = location;
    return e;
}

InputEvent InputEvent::mouseButton (int button, bool down, juce::Point<double> location,
                                    juce::uint64 flags, juce::int64 clickState)
{
    InputEvent e;
    if (button == 0)
        e.type = down ? InputEventType::leftMouseDown : InputEventType::leftMouseUp;
    else if (button == 1)
        e.type = down ? InputEventType::rightMouseDown : InputEventType::rightMouseUp;
    else
        e.type = down ? InputEventType::otherMouseDown : InputEventType::otherMouseUp;

    e.buttonNumber = button;
    e.location = location;
    e.flags = flags;
    e.clickState = clickState;
    return e;
}

InputEvent InputEvent::scroll (juce::int32 pixels)
{
    InputEvent e;
    e.type = InputEventType::scrollWheel;
    e.scrollDeltaAxis1 = pixels;
    return e;
}

InputEvent InputEvent::key (juce::uint16 code, bool down, juce::uint64 flags)
{
    InputEvent e;
    e.type = down ? InputEventType::keyDown : InputEventType::keyUp;
    e.keyCode = code;
    e.flags = flags;
    return e;
}

InputEvent InputEvent::unicodeKey (char16_t unit, bool down)
{
    InputEvent e;
    e.type = down ? InputEventType::keyDown : InputEventType::keyUp;
    e.unicodeUnit = unit;
    return e;
}

juce::String InputEvent::describe() const
{
    juce::String text ("type " + juce::String ((int) type));

    if (isKeyboardEvent())
        text << " key " << (int) keyCode;
    if (unicodeUnit != 0)
        text << " unit U+" << juce::String::toHexString ((int) unicodeUnit);
    if (isButtonEvent())
        text << " button " << buttonNumber << " clicks " << clickState;
    if (type == InputEventType::scrollWheel)
        text << " scroll " << scrollDeltaAxis1 << "/" << scrollDeltaAxis2;

    text << " at " << location.toString() << " delta " << delta.toString()
         << " flags 0x" << juce::String::toHexString ((juce::int64) flags);

    if (isMarked())
        text << " marked";

    return text;
}

bool InputEvent::operator== (const InputEvent& other) const noexcept
{
    return type == other.type && location == other.location && delta == other.delta
        && keyCode == other.keyCode && flags == other.flags && clickState == other.clickState
        && buttonNumber == other.buttonNumber && scrollDeltaAxis1 == other.scrollDeltaAxis1
        && scrollDeltaAxis2 == other.scrollDeltaAxis2 && unicodeUnit == other.unicodeUnit
        && sourceUserData == other.sourceUserData;
}
