#include "input/MacKeyCodeWizard.h"

#include "platform/X11Backend.h"

#include <cstdio>

namespace
{
struct FixedName
{
    juce::uint16 code;
    const char* name;
};

// Stored after the translated names, replacing them, in this order.
constexpr FixedName fixedNames[] = {
    { 36, "Return" },    { 49, "Space" },      { 55, "Command" },   { 56, "Shift" },
    { 57, "CapsLock" },  { 58, "Option" },     { 59, "Control" },   { 51, "Backspace" },
    { 48, "Tab" },       { 117, "Delete" },    { 123, "LeftArrow" }, { 124, "RightArrow" },
    { 125, "DownArrow" }, { 126, "UpArrow" },
};

void reportNoLayout()
{
    std::fputs (MacKeyCodeWizard::noLayoutMessage, stderr);
    std::fputs ("\n", stderr);
    std::fflush (stderr);
}

std::map<juce::uint16, juce::String> buildCodeToName (const KeyboardLayout* layout)
{
    std::map<juce::uint16, juce::String> names;

    if (layout == nullptr)
        return names;

    for (juce::uint16 code = 0; code <= 127; ++code)
    {
        juce::uint32 deadKeyState = 0;
        const auto translation = layout->translate (code, deadKeyState);

        if (! translation.ok || translation.length == 0 || translation.units[0] == 0)
            continue;

        auto name = juce::String::charToString ((juce::juce_wchar) translation.units[0]);

        for (auto& entry : names)
        {
            if (entry.second == name)
            {
                name += "_alt";
                break;
            }
        }

        names[code] = name;
    }

    for (auto& fixed : fixedNames)
        names[fixed.code] = fixed.name;

    return names;
}

std::map<juce::String, juce::uint16> buildNameToCode (const std::map<juce::uint16, juce::String>& codeToName)
{
    std::map<juce::String, juce::uint16> codes;

    for (auto& entry : codeToName)
        codes[entry.second] = entry.first;

    return codes;
}
} // namespace

// Without any display the program only says so and ends (see main): the
// missing layout is not worth a line of its own then.
MacKeyCodeWizard::MacKeyCodeWizard()
    : MacKeyCodeWizard (loadX11KeyboardLayout(), canOpenX11Display())
{
}

MacKeyCodeWizard::MacKeyCodeWizard (std::shared_ptr<const KeyboardLayout> layout)
    : MacKeyCodeWizard (std::move (layout), true)
{
}

MacKeyCodeWizard::MacKeyCodeWizard (std::shared_ptr<const KeyboardLayout> layout, bool reportMissingLayout)
    : keyboardLayout (std::move (layout)),
      codeToName (buildCodeToName (keyboardLayout.get())),
      nameToCode (buildNameToCode (codeToName))
{
    if (keyboardLayout == nullptr && reportMissingLayout)
        reportNoLayout();
}

juce::String MacKeyCodeWizard::getName (juce::uint16 keyCode) const
{
    auto found = codeToName.find (keyCode);
    return found != codeToName.end() ? found->second : juce::String();
}

juce::uint16 MacKeyCodeWizard::getCode (const juce::String& name) const
{
    auto found = nameToCode.find (name);
    return found != nameToCode.end() ? found->second : (juce::uint16) 0;
}

bool MacKeyCodeWizard::isKeyName (const juce::String& name) const
{
    return nameToCode.find (name) != nameToCode.end();
}

MacKeyCodeWizard macKeyCodeWizard;
