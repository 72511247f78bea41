// Feeds arbitrary bytes to what the server reads from its peers: a discovery
// datagram (text, decision, cancel address, and the acceptance a client reads),
// and a control payload as a monitor tree, whose sizes go into the automatic
// layout and whose record goes back out as a "machineInfo" tree, and as an
// operating-system text, which is stored in the layouts' XML.

#include "ipc/AutoLayout.h"
#include "ipc/ControlProtocol.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size);

namespace
{
void readAsDatagram (std::uint8_t const* data, size_t size)
{
    auto text = DiscoveryProtocol::datagramText (data, size);

    for (int clusterID : { -1, 0, 4711 })
        if (DiscoveryProtocol::answerFor (text, clusterID) == DiscoveryProtocol::Answer::cancel)
            (void) DiscoveryProtocol::readCancelAddress (text);

    if (DiscoveryProtocol::classifyToClient (text) == DiscoveryProtocol::ToClient::acceptance)
        (void) DiscoveryProtocol::readAcceptance (text);

    (void) computeMachineID (text);
}

void readAsMonitorTree (std::uint8_t const* data, size_t size)
{
    auto tree = ControlProtocol::readTree (data, size);

    if (! tree.hasType (ControlProtocol::newMonitorInfoType) && ! tree.hasType (ControlProtocol::changedMonitorInfoType))
        return;

    Machine record;
    decodeMonitorInfo (record.displays, record.totalArea, tree);

    juce::Point<int> const size1 { record.totalArea.getWidth(), record.totalArea.getHeight() };
    (void) AutoLayout::compute ({ size1 });
    (void) AutoLayout::compute ({ size1, { 1920, 1080 } });
    (void) AutoLayout::compute ({ { 1440, 900 }, size1, size1 });

    // What the server sends of this record reads back as the record.
    auto info = ControlProtocol::readTree (ControlProtocol::treePayload (createMachineInfo (&record, 1)));
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total;
    decodeMonitorInfo (monitors, total, info);

    if (total != record.totalArea)
        std::abort();
}

void storeAsOperatingSystem (std::uint8_t const* data, size_t size)
{
    auto os = ControlProtocol::readOperatingSystem ("Operating system: " + ControlProtocol::readText (data, size));
    juce::XmlElement machine ("MACHINE");
    machine.setAttribute ("OS", os);
    auto stored = juce::parseXML (machine.toString (juce::XmlElement::TextFormat().singleLine().withoutHeader()));

    if (stored == nullptr || stored->getStringAttribute ("OS") != os)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size)
{
    readAsDatagram (data, size);
    readAsMonitorTree (data, size);
    storeAsOperatingSystem (data, size);
    return 0;
}
