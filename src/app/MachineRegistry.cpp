#include "app/MyQuillsteadApplication.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "ipc/MyQuillsteadIPC.h"

namespace
{
/** The largest layout content a server can send: its layouts are 1.2 times
    the desktops side by side, and this holds more than two hundred of the
    largest possible ones. */
constexpr int maxContentSide = 1 << 24;

void logRefusedDesktop (const char* where, int id, juce::Rectangle<int> area)
{
    DBGOrLog (juce::String (where) + ": refusing the desktop " + juce::String (area.getWidth()) + " x "
              + juce::String (area.getHeight()) + " at " + juce::String (area.getX()) + ", " + juce::String (area.getY())
              + " of ID " + juce::String (id));
}
} // namespace

//==============================================================================
std::optional<Machine> MyQuillsteadApplication::findMachine (int id) const
{
    const juce::ScopedLock rl (registryLock);
    auto entry = myCopyOfMachines.find (id);

    if (entry == myCopyOfMachines.end())
        return {};

    const juce::ScopedLock pl (positionLock);
    return entry->second;
}

void MyQuillsteadApplication::addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                                          juce::Rectangle<int>& area, juce::String const& os)
{
    if (! isPossibleDesktop (area))
    {
        logRefusedDesktop ("App addMachine", id, area);
        return;
    }

    const juce::ScopedLock rl (registryLock);

    DBGOrLog ("Add to myCopyOfMachines ID: " + juce::String (id) + " IP: " + ip + " port: " + juce::String (port)
              + " x: " + juce::String (area.getX()) + " y: " + juce::String (area.getY()));

    if (auto existing = myCopyOfMachines.find (id); existing != myCopyOfMachines.end() && ! area.isEmpty())
    {
        bool withoutDesktop = false;
        {
            const juce::ScopedLock pl (positionLock);
            withoutDesktop = existing->second.totalArea.isEmpty();
        }

        if (withoutDesktop)
        {
            // The server announced this machine before its desktop had reached
            // it (the two joined at the same moment, as all machines do after a
            // fail-over). Kept like that, it would be unreachable until the next
            // rejoin: the entry and its tile make way, and the announcement with
            // the desktop is added once the old tile is gone.
            DBGOrLog ("App addMachine: ID " + juce::String (id) + " comes again with its desktop, replacing its entry");
            mainComponent->removeMachine (existing->second.IP, existing->second.port, id);
            myCopyOfMachines.erase (existing);

            post ([ip, port, id, monitors, area, os] (MyQuillsteadApplication& app) mutable
            {
                app.addMachine (ip, port, id, monitors, area, os);
            });
            return;
        }
    }

    if (myCopyOfMachines.count (id) != 0)
    {
        DBGOrLog ("App addMachine: ID already there: " + ip + ", map size: " + juce::String ((int) myCopyOfMachines.size()));
    }
    else
    {
        mainComponent->addMachine (ip, os, port, id, monitors, area, id == clientID);

        Machine machine;
        machine.IP = ip;
        machine.port = port;
        machine.OS = os;
        machine.displays = monitors;
        machine.totalArea = area;
        myCopyOfMachines.emplace (id, std::move (machine));

        mainComponent->moveMachineComponent (id, area.getX(), area.getY());
        startListenerThreadIfDue();
    }

    // The own machine's entry starts the tap too, even while it is the only one.
    if (auto* tap = getListenerThread(); tap != nullptr && myCopyOfMachines.count (clientID) != 0 && ! tap->isThreadRunning())
        tap->startThread();
}

void MyQuillsteadApplication::removeMachine (juce::String const& ip, int port, int id)
{
    {
        // The partner test: is the machine that goes the one this machine
        // sends to or receives from?
        const juce::ScopedLock cl (controlLock);
        auto mode = socketThread->getMode();

        if (mode == SocketThread::Sending && ip == socketThread->getTargetIP() && port == socketThread->getTargetPort())
        {
            comeHome();
        }
        else if (mode == SocketThread::Receiving && socketThread->mayBeDrivenBy (ip, port))
        {
            setSocketThreadIdle();
            setActiveMonitorID (clientID);
        }
    }

    // The entry goes on the message thread, after every "machineInfo" that
    // arrived before this message and was posted there: an earlier arrival
    // must not bring the removed machine back.
    post ([ip, port, id] (MyQuillsteadApplication& app)
    {
        const juce::ScopedLock rl (app.registryLock);

        if (app.myCopyOfMachines.count (id) == 0)
            return;

        app.mainComponent->removeMachine (ip, port, id);
        DBGOrLog ("App: removing monitor ID: " + juce::String (id) + " port: " + juce::String (port) + " IP: " + Logging::excerpt (ip));
        app.myCopyOfMachines.erase (id);
    });
}

void MyQuillsteadApplication::clearMachines()
{
    DBGOrLog ("App: clearMachines");
    mainComponent->clearMachines();

    const juce::ScopedLock rl (registryLock);
    myCopyOfMachines.clear();
    DBGOrLog ("App: ...cleared");
}

void MyQuillsteadApplication::updateMachinePosition (int id, int x, int y, bool moveComponent)
{
    std::optional<juce::Point<double>> movedCursor;

    {
        const juce::ScopedLock rl (registryLock);
        auto entry = myCopyOfMachines.find (id);

        if (entry != myCopyOfMachines.end())
        {
            const juce::ScopedLock pl (positionLock);
            auto& area = entry->second.totalArea;

            if (area.getX() == x && area.getY() == y)
                return;

            auto const oldPosition = area.getPosition();
            area.setPosition (x, y);

            // The virtual pointer keeps its place on the machine it drives.
            if (id == activeMonitorID && socketThread->getMode() != SocketThread::Idle)
            {
                virtualCursor += (juce::Point<int> (x, y) - oldPosition).toDouble();
                movedCursor = virtualCursor;
            }
        }
    }

    if (movedCursor.has_value())
        mainComponent->updateVirtualMonitorPosition (*movedCursor);

    if (moveComponent)
        mainComponent->moveMachineComponent (id, x, y);
}

void MyQuillsteadApplication::updateMachineDisplay (juce::ValueTree const& tree)
{
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total;
    decodeMonitorInfo (monitors, total, tree);
    auto const id = propertyAsInt (tree.getProperty ("ID"));

    if (! isPossibleDesktop (total))
    {
        logRefusedDesktop ("App updateMachineDisplay", id, total);
        return;
    }

    // A machine's place comes from the layout, its size from the tree.
    auto tile = mainComponent->resizeMachineComponent (id, total.getWidth(), total.getHeight());
    auto const area = tile.has_value() ? *tile : juce::Rectangle<int> (-1, -1, total.getWidth(), total.getHeight());

    const juce::ScopedLock rl (registryLock);
    auto entry = myCopyOfMachines.find (id);

    if (entry == myCopyOfMachines.end())
        return;

    const juce::ScopedLock pl (positionLock);
    entry->second.displays = monitors;
    entry->second.totalArea = area;
}

void MyQuillsteadApplication::resizeContentComponent (int width, int height)
{
    if (! juce::isPositiveAndNotGreaterThan (width, maxContentSide) || ! juce::isPositiveAndNotGreaterThan (height, maxContentSide))
    {
        DBGOrLog ("App: refusing the content size " + juce::String (width) + " x " + juce::String (height));
        return;
    }

    mainComponent->resizeContentComponent (width, height);
}

void MyQuillsteadApplication::tellMainComponentIAmServer()
{
    mainComponent->setIAmServer (true);
}

//==============================================================================
void MyQuillsteadApplication::timerCallback()
{
    if (auto* tap = getListenerThread())
    {
        mainComponent->setKeyboardThreadRunning (tap->isThreadRunning());
        mainComponent->postRepaint();
    }

    mainComponent->setListeningPort (socketThread->getReadingPort());
    mainComponent->setPassEvents (activeMonitorID == clientID || getNumMachines() == 1
                                  || socketThread->getMode() == SocketThread::Receiving);
    mainComponent->setIAmServer (hostsServer());

    // The desktop watch: only a change of the bounding box is reported.
    auto tree = createMonitorInfo (false, displaySource);
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total;
    decodeMonitorInfo (monitors, total, tree);

    {
        const juce::ScopedLock pl (positionLock);

        if (total == myTotalArea)
            return;
    }

    DBGOrLog ("Change my total area by timer callback");
    auto mainDisplay = displaySource.getMainDisplayArea();

    {
        const juce::ScopedLock pl (positionLock);

        if (mainDisplay.has_value())
            mainDisplayArea = *mainDisplay;

        myTotalArea = total;
        myMonitors = monitors;
    }

    if (mainDisplay.has_value())
        DBGOrLog ("New primary display width: " + juce::String (mainDisplay->getWidth())
                  + ", height: " + juce::String (mainDisplay->getHeight()));

    tree.setProperty ("ID", clientID.load(), nullptr);
    updateMachineDisplay (tree);
    ControlProtocol::sendTree (*this, tree);
}
