// The server's layouts: where every machine's desktop stands on the virtual
// desktop. A stored layout made for exactly the machines present (same
// addresses, operating systems and desktop sizes) is restored; otherwise the
// machines stand side by side in ID order, or a lone machine is centred.
// Only machines that have connected take part: one accepted a moment ago has no
// desktop yet, and one that never connects is forgotten without a trace.
// Every arrangement of two or more machines is stored in the setting "LAYOUTS":
//
//   <LAYOUTS>
//     <LAYOUT contentComponent_width=".." contentComponent_height="..">
//       <MACHINE IP=".." OS=".." x=".." y=".." width=".." height=".."/>  (sorted)

#include "ipc/IPCServer.h"

#include "core/Logging.h"
#include "core/SingletonApplicationProperties.h"
#include "ipc/AutoLayout.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/ServerIPC.h"

#include <algorithm>

namespace
{
const juce::String kLayouts = "LAYOUTS";
const juce::String kLayout = "LAYOUT";
const juce::String kMachine = "MACHINE";
const juce::String kContentWidth = "contentComponent_width";
const juce::String kContentHeight = "contentComponent_height";

/** Puts "MACHINE" elements in the stored order: by the text each writes in
    JUCE's default format, which, as every text begins alike, is the order of
    their "IP" texts compared character by character. */
void sortMachineElements (std::vector<std::unique_ptr<juce::XmlElement>>& elements)
{
    std::sort (elements.begin(), elements.end(),
               [] (auto const& a, auto const& b) { return a->toString() < b->toString(); });
}

void removePositions (juce::XmlElement& layout)
{
    for (auto* machine : layout.getChildIterator())
    {
        machine->removeAttribute ("x");
        machine->removeAttribute ("y");
    }
}

juce::PropertiesFile* settings()
{
    return SingletonApplicationProperties::get().getUserSettings();
}

int readInt (juce::XmlElement const& element, juce::String const& attribute)
{
    return ControlProtocol::readNumber (element.getStringAttribute (attribute));
}

/** The machines laid out: those connected, in ascending ID order. */
template <typename Records>
std::vector<std::pair<int, Machine*>> laidOut (Records const& machines)
{
    std::vector<std::pair<int, Machine*>> result;

    for (auto const& [id, machine] : machines)
        if (machine->connection != nullptr)
            result.emplace_back (id, machine.get());

    return result;
}
} // namespace

void IPCServer::layOut()
{
    if (! tryToReloadLayout())
        autoLayoutMachines();
}

Machine* IPCServer::storeDisplaysAndLayOut (juce::RectangleList<int> const& displays, juce::Rectangle<int> const& area, int id)
{
    // Laid out, a desktop no machine has would size every machine's view after it.
    if (! isPossibleDesktop (area))
    {
        DBGOrLog ("Server: refusing the desktop " + juce::String (area.getWidth()) + " x " + juce::String (area.getHeight())
                  + " of machine " + juce::String (id));
        return nullptr;
    }

    auto* machine = findMachine (id);

    if (machine != nullptr)
    {
        machine->displays = displays;
        machine->totalArea = area;
        layOut();
    }

    return machine;
}

//==============================================================================
void IPCServer::addClientDisplays (juce::RectangleList<int> const& displays, juce::Rectangle<int> const& area, int id)
{
    DBGOrLog ("Server: add client displays");

    const juce::ScopedLock sl (machinesLock);
    auto* machine = storeDisplaysAndLayOut (displays, area, id);

    if (machine == nullptr)
        return;

    // The record's "totalArea" now carries its place on the virtual desktop.
    sendToAllMachines (ControlProtocol::treePayload (createMachineInfo (machine, id)), id);
}

void IPCServer::changeDisplays (juce::RectangleList<int> const& displays, juce::Rectangle<int> const& area, int id)
{
    const juce::ScopedLock sl (machinesLock);

    if (storeDisplaysAndLayOut (displays, area, id) == nullptr)
        return;

    // Forwarded as received: its "totalArea" is the machine's own desktop.
    juce::ValueTree changed (ControlProtocol::changedMonitorInfoType);
    changed.setProperty ("ID", id, nullptr);
    addMonitorInfo (displays, area, changed);
    sendToAllMachines (ControlProtocol::treePayload (changed), id, ControlProtocol::desktopKind (id));
}

//==============================================================================
void IPCServer::autoLayoutMachines()
{
    const juce::ScopedLock sl (machinesLock);

    auto const present = laidOut (machines);
    std::vector<juce::Point<int>> desktops;

    if (present.empty())
        return;

    for (auto const& [id, machine] : present)
    {
        desktops.push_back ({ machine->totalArea.getWidth(), machine->totalArea.getHeight() });
        DBGOrLog ("Physical screen: " + juce::String (desktops.back().x) + " " + juce::String (desktops.back().y));
    }

    auto const layout = AutoLayout::compute (desktops);
    contentComponentWidth = layout.contentWidth;
    contentComponentHeight = layout.contentHeight;
    sendContentComponentResizedMessage (contentComponentWidth, contentComponentHeight);

    auto place = layout.places.begin();

    for (auto const& [id, machine] : present)
    {
        auto const [x, y] = *place++;
        machine->totalArea.setPosition (x, y);

        if (present.size() != 1)
            DBGOrLog ("Server autolayout: " + juce::String (id) + " " + juce::String (x) + " " + juce::String (y));

        moveDisplays (id, x, y, -1);
    }

    // Only arrangements of two or more machines are stored.
    if (present.size() != 1)
        saveLayout();
}

//==============================================================================
void IPCServer::saveLayout()
{
    const juce::ScopedLock sl (machinesLock);
    auto const present = laidOut (machines);

    if (present.size() < 2)
        return;

    auto layout = std::make_unique<juce::XmlElement> (kLayout);
    std::vector<std::unique_ptr<juce::XmlElement>> elements;

    for (auto const& [id, machine] : present)
    {
        auto element = std::make_unique<juce::XmlElement> (kMachine);
        element->setAttribute ("IP", machine->IP);
        element->setAttribute ("OS", machine->OS);
        element->setAttribute ("x", machine->totalArea.getX());
        element->setAttribute ("y", machine->totalArea.getY());
        element->setAttribute ("width", machine->totalArea.getWidth());
        element->setAttribute ("height", machine->totalArea.getHeight());
        elements.push_back (std::move (element));
    }

    sortMachineElements (elements);

    for (auto& element : elements)
        layout->addChildElement (element.release());

    layout->setAttribute (kContentWidth, contentComponentWidth);
    layout->setAttribute (kContentHeight, contentComponentHeight);

    auto* userSettings = settings();

    if (userSettings == nullptr)
        return;

    auto stored = userSettings->getXmlValue (kLayouts);

    if (stored == nullptr)
        stored = std::make_unique<juce::XmlElement> (kLayouts);

    juce::XmlElement withoutPositions (*layout);
    removePositions (withoutPositions);

    juce::XmlElement* same = nullptr;

    for (auto* existing : stored->getChildIterator())
    {
        juce::XmlElement copy (*existing);
        removePositions (copy);

        if (copy.isEquivalentTo (&withoutPositions, true))
        {
            same = existing;
            break;
        }
    }

    if (same != nullptr)
        stored->replaceChildElement (same, layout.release());
    else
        stored->addChildElement (layout.release());

    userSettings->setValue (kLayouts, stored.get());
}

bool IPCServer::tryToReloadLayout()
{
    auto* userSettings = settings();
    auto stored = userSettings != nullptr ? userSettings->getXmlValue (kLayouts) : nullptr;

    const juce::ScopedLock sl (machinesLock);
    auto const present = laidOut (machines);

    if (stored == nullptr || present.size() < 2)
        return false;

    juce::XmlElement current (kLayout);
    std::vector<std::unique_ptr<juce::XmlElement>> elements;

    for (auto const& [id, machine] : present)
    {
        auto element = std::make_unique<juce::XmlElement> (kMachine);
        element->setAttribute ("IP", machine->IP);
        element->setAttribute ("OS", machine->OS);
        element->setAttribute ("width", machine->totalArea.getWidth());
        element->setAttribute ("height", machine->totalArea.getHeight());
        elements.push_back (std::move (element));
    }

    sortMachineElements (elements);

    for (auto& element : elements)
        current.addChildElement (element.release());

    DBGOrLog ("Server: Try to reload layout: current machines " + current.toString());

    juce::XmlElement const* match = nullptr;

    for (auto* existing : stored->getChildIterator())
    {
        juce::XmlElement copy (*existing);
        copy.removeAttribute (kContentWidth);
        copy.removeAttribute (kContentHeight);
        removePositions (copy);
        DBGOrLog ("ExistingCopyWithoutXY: " + copy.toString());

        if (copy.isEquivalentTo (&current, true))
        {
            match = existing;
            break;
        }
    }

    if (match == nullptr)
    {
        DBGOrLog ("No matching stored layout found");
        return false;
    }

    DBGOrLog ("Server: found stored layout");

    contentComponentWidth = readInt (*match, kContentWidth);
    contentComponentHeight = readInt (*match, kContentHeight);
    sendContentComponentResizedMessage (contentComponentWidth, contentComponentHeight);

    for (auto const& [id, machine] : present)
    {
        for (auto* place : match->getChildWithTagNameIterator (kMachine))
        {
            if (place->getStringAttribute ("IP") == machine->IP
                 && place->getStringAttribute ("OS") == machine->OS
                 && readInt (*place, "width") == machine->totalArea.getWidth()
                 && readInt (*place, "height") == machine->totalArea.getHeight())
            {
                auto const x = readInt (*place, "x");
                auto const y = readInt (*place, "y");
                machine->totalArea.setPosition (x, y);
                moveDisplays (id, x, y, -1);
                break;
            }
        }
    }

    return true;
}
