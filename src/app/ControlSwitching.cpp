#include "app/MyQuillsteadApplication.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"

#include <utility>

//==============================================================================
// Moving control between machines. Every operation here holds controlLock,
// so the server's orders (connection thread), the user's jumps (message
// thread) and the edge crossing (event-tap thread) run one at a time.

void MyQuillsteadApplication::jumpTo (int id)
{
    DBGOrLog ("Jump to ID: " + juce::String (id) + " with currentInputID: " + juce::String (currentInputID.load()));

    const juce::ScopedLock cl (controlLock);

    if (! findMachine (id).has_value())
        return;

    auto const mode = socketThread->getMode();

    if (id == clientID)
    {
        // Jumping to this machine's own tile: input comes home if it is away,
        // and is never sent from this machine to itself.
        if (mode == SocketThread::Sending)
        {
            sendToServer (ControlProtocol::modeChangeIdle (activeMonitorID));
            takeBackControl();
            jumpToMiddle (false);
            return;
        }

        if (clientID == currentInputID)
            return;
    }

    if (mode == SocketThread::Sending)
    {
        if (currentReceivingID == id)
            return;

        DBGOrLog ("Jump with socket thread sending");
        requestClipboardFromTo (currentReceivingID, id);
        prepareLocalAndRemote (id, true);
    }
    else if (clientID == currentInputID)
    {
        DBGOrLog ("Jump with socket thread idle");

        // Nothing goes to the server for a switch that cannot happen.
        if (! startWithholding())
            return;

        requestClipboardFromTo (clientID, id);
        prepareLocalAndRemote (id, true);
    }
    else if (mode == SocketThread::Receiving)
    {
        DBGOrLog ("Jump with socket thread receiving");
        setSocketThreadIdle();

        if (currentInputID == id)
            sendToServer (ControlProtocol::takeBackControl (id));
        else
            sendToServer (ControlProtocol::startControl (currentInputID, id));
    }
}

void MyQuillsteadApplication::prepareLocalAndRemote (int id, bool requestMiddle)
{
    const juce::ScopedLock cl (controlLock);

    auto target = findMachine (id);
    auto own = findMachine (clientID);

    if (! target.has_value() || ! own.has_value() || id == clientID)
        return;

    // From the next event on, this machine's keys and buttons go to the
    // target only. While they cannot be kept from the local desktop (a
    // button held in a local window for a drag grabs them), control stays
    // here: nothing is sent, and the next push into the edge tries again.
    if (! startWithholding())
        return;

    socketThread->setSending (target->IP, target->port, target->OS, own->port);

    if (windowOpen)
        mainComponent->setReceivingOS (target->OS);

    sendMachineReceivingModeMessage (id);
    setActiveMonitorID (id);

    if (requestMiddle)
    {
        DBGOrLog ("Request jump to middle, ID: " + juce::String (id));
        sendToServer (ControlProtocol::requestJumpToMiddle (id));
        jumpToMiddle (false);

        auto const area = target->totalArea;
        auto const firstMonitor = target->displays.isEmpty() ? juce::Rectangle<int>() : target->displays.getRectangle (0);
        juce::Point<double> cursor ((double) (area.getX() + firstMonitor.getWidth() / 2),
                                    (double) (area.getY() + firstMonitor.getHeight() / 2));
        setVirtualCursor (cursor);
        updateVirtualMonitorPosition (cursor);
    }

    postMenuBarImage (false);
}

void MyQuillsteadApplication::takeBackControl()
{
    const juce::ScopedLock cl (controlLock);

    setSocketThreadIdle();

    // Already at home, there is no clipboard to bring back: asking the server
    // for this machine's own clipboard would only empty it.
    if (activeMonitorID != clientID)
        requestClipboardFromTo (activeMonitorID, clientID);

    setActiveMonitorID (clientID);
    sendMachineReceivingModeMessage (-1);
    postMenuBarImage (true);
}

void MyQuillsteadApplication::jumpToMiddle (bool updateVirtual)
{
    const juce::ScopedLock cl (controlLock);

    DBGOrLog ("jumpToMiddle()");
    auto const middle = getWarpPoint();
    setLocalCursor (middle);
    inputPlatform.warpPointer (middle);
    DBGOrLog ("Warp position");

    if (! updateVirtual)
        return;

    auto own = findMachine (clientID);

    if (! own.has_value())
        return;

    auto const desktop = getOwnDesktop();
    juce::Point<double> cursor ((double) ((int) middle.x + own->totalArea.getX() - desktop.getX()),
                                (double) ((int) middle.y + own->totalArea.getY() - desktop.getY()));
    setVirtualCursor (cursor);
    updateVirtualMonitorPosition (cursor);
}

void MyQuillsteadApplication::gotReceivingModeMessage (juce::String const& fromOS)
{
    DBGOrLog ("Got receiving mode message, fromOS: " + Logging::excerpt (fromOS));

    const juce::ScopedLock cl (controlLock);
    currentReceivingID = clientID.load();

    auto own = findMachine (clientID);

    if (! own.has_value())
        return;

    // This machine's own input is in use: its claim reached the server just
    // before the order, and the machine that was to drive it comes home on
    // hearing of that claim. Receiving now would wait for nobody.
    if (currentInputID == clientID)
    {
        DBGOrLog ("Not receiving: this machine's own input is in use");
        setSocketThreadIdle();
        return;
    }

    // Only the machine whose input is in use drives this one. A machine that
    // joined after that input was announced has not heard which it is: any
    // other machine of the cluster, the first that sends.
    std::vector<SocketThread::Sender> senders;
    juce::StringArray members;
    {
        const juce::ScopedLock rl (registryLock);
        auto const named = myCopyOfMachines.find (currentInputID);

        for (auto const& [id, machine] : myCopyOfMachines)
        {
            if (id == clientID)
                continue;

            members.addIfNotAlreadyThere (machine.IP);

            if (named == myCopyOfMachines.end() || id == named->first)
                senders.push_back ({ machine.IP, machine.port });
        }
    }

    socketThread->setReceiving (fromOS, own->port, std::move (senders), std::move (members));
    stopWithholding();

    post ([] (MyQuillsteadApplication& app)
    {
        app.mainComponent->setBackgroundColour (juce::Colours::blue);
        app.mainComponent->repaint();
        app.switchMenuBarImage (true);
    });
}

void MyQuillsteadApplication::gotIdleModeMessage()
{
    DBGOrLog ("Got idle mode message");

    const juce::ScopedLock cl (controlLock);
    setSocketThreadIdle();
    postMenuBarImage (false);
}

void MyQuillsteadApplication::setCurrentInputID (int id)
{
    DBGOrLog ("App setCurrentInputID: " + juce::String (id));

    const juce::ScopedLock cl (controlLock);

    if (id == currentInputID)
    {
        // The own claim coming back: this machine's user took over while
        // another machine drove it, and that machine's input has come home.
        if (id == clientID && socketThread->getMode() == SocketThread::Receiving)
            setSocketThreadIdle();

        return;
    }

    // Another machine's input is in use now: this one stops driving others
    // (its own input comes home, so that its user is not left with a pointer
    // held for a machine it no longer drives), and stops being driven.
    if (id != clientID && socketThread->getMode() == SocketThread::Sending)
        comeHome();

    if (socketThread->getMode() == SocketThread::Receiving)
        setSocketThreadIdle();

    currentInputID = id;
}

void MyQuillsteadApplication::setCurrentReceivingID (int id)
{
    DBGOrLog ("App setCurrentReceivingID: " + juce::String (id));

    const juce::ScopedLock cl (controlLock);

    if (id != currentReceivingID && id != clientID && socketThread->getMode() == SocketThread::Receiving)
        setSocketThreadIdle();

    currentReceivingID = id;
}

void MyQuillsteadApplication::stopSocketThread (bool checkPartner)
{
    const juce::ScopedLock cl (controlLock);

    if (socketThread == nullptr)
        return;

    // Sending stops with the connection, whoever the partner was: the input
    // comes home, or nothing would take it anywhere any more.
    if (socketThread->getMode() == SocketThread::Sending)
    {
        comeHome();
        return;
    }

    if (checkPartner && socketThread->getMode() == SocketThread::Receiving && socketThread->getSenderIP() == serverIP)
        setActiveMonitorID (clientID);

    setSocketThreadIdle();
}

void MyQuillsteadApplication::stopListenerThread()
{
    // Not under controlLock: the tap holds it while it digests an event.
    auto* tap = getListenerThread();

    if (tap == nullptr)
        return;

    if (! tap->stopListening (100))
        DBGOrLog ("App: failed to stop listener thread in time");
}

void MyQuillsteadApplication::setActiveMonitorID (int id)
{
    DBGOrLog ("Set active monitor id to " + juce::String (id));
    activeMonitorID = id;
    mainComponent->setActiveID (id);
}

void MyQuillsteadApplication::comeHome()
{
    const juce::ScopedLock cl (controlLock);

    setSocketThreadIdle();
    setActiveMonitorID (clientID);

    // The pointer stays where it is: while the input was away it rested,
    // visible, at the warp point, and the user has seen it there all along;
    // a jump now would only move it from under the user's hand. The edge
    // crossing and the view go on from there.
    auto const pointer = inputPlatform.getPointerLocation();
    setLocalCursor (pointer);
    inputPlatform.showCursor();

    if (auto own = findMachine (clientID))
    {
        auto const desktop = getOwnDesktop();
        juce::Point<double> cursor ((double) ((int) pointer.x + own->totalArea.getX() - desktop.getX()),
                                    (double) ((int) pointer.y + own->totalArea.getY() - desktop.getY()));
        setVirtualCursor (cursor);
        updateVirtualMonitorPosition (cursor);
    }

    postMenuBarImage (true);
}

void MyQuillsteadApplication::setSocketThreadIdle()
{
    socketThread->setIdle();
    stopWithholding();
}

bool MyQuillsteadApplication::startWithholding()
{
    if (inputPlatform.setWithholding (true))
    {
        withholdingRefused = false;
        return true;
    }

    if (! std::exchange (withholdingRefused, true))
        DBGOrLog ("Control stays on this machine: its input cannot be withheld");

    return false;
}

void MyQuillsteadApplication::stopWithholding()
{
    if (inputPlatform.isWithholding())
        inputPlatform.setWithholding (false);
}

//==============================================================================
// InputHost: what input sharing reads and asks of the application.

int MyQuillsteadApplication::getOwnID() const               { return clientID; }
int MyQuillsteadApplication::getActiveMonitorID() const     { return activeMonitorID; }
int MyQuillsteadApplication::getCurrentInputID() const      { return currentInputID; }
juce::CriticalSection& MyQuillsteadApplication::getControlLock() { return controlLock; }

int MyQuillsteadApplication::getNumMachines() const
{
    const juce::ScopedLock rl (registryLock);
    return (int) myCopyOfMachines.size();
}

std::optional<juce::Rectangle<int>> MyQuillsteadApplication::getOwnArea() const
{
    if (auto own = findMachine (clientID))
        return own->totalArea;

    return {};
}

juce::Rectangle<int> MyQuillsteadApplication::getOwnDesktop() const
{
    const juce::ScopedLock pl (positionLock);
    return myTotalArea;
}

juce::Point<double> MyQuillsteadApplication::getWarpPoint() const
{
    // The centre of the main display, wherever it lies on the desktop.
    const juce::ScopedLock pl (positionLock);
    return { mainDisplayArea.getX() + mainDisplayArea.getWidth() * 0.5,
             mainDisplayArea.getY() + mainDisplayArea.getHeight() * 0.5 };
}

int MyQuillsteadApplication::getIDOfMachineAt (int x, int y) const
{
    return mainComponent->getIDOfMachineAt (x, y);
}

juce::Point<double> MyQuillsteadApplication::getLocalCursor() const
{
    const juce::ScopedLock pl (positionLock);
    return localCursor;
}

void MyQuillsteadApplication::setLocalCursor (juce::Point<double> position)
{
    const juce::ScopedLock pl (positionLock);
    localCursor = position;
}

juce::Point<double> MyQuillsteadApplication::getVirtualCursor() const
{
    const juce::ScopedLock pl (positionLock);
    return virtualCursor;
}

void MyQuillsteadApplication::setVirtualCursor (juce::Point<double> position)
{
    const juce::ScopedLock pl (positionLock);
    virtualCursor = position;
}

void MyQuillsteadApplication::inputReceived()
{
    const juce::ScopedLock cl (controlLock);

    if (currentInputID == clientID)
        return;

    currentInputID = clientID.load();
    sendToServer (ControlProtocol::currentInputID (clientID));
}

void MyQuillsteadApplication::requestClipboardFromTo (int fromID, int toID)
{
    ClientIPC::requestClipboardFromTo (fromID, toID);
}

void MyQuillsteadApplication::sendToServer (juce::String const& text)
{
    ControlProtocol::sendText (*this, text);
}

void MyQuillsteadApplication::stopMessageLoop()
{
    // Input sharing stops the loop only on three Escapes; the log says why the program ends.
    DBGOrLog ("Quitting on three Escapes");
    juce::MessageManager::getInstance()->stopDispatchLoop();
}

//==============================================================================
// InputHost: the view. Other threads write the view's fields (it lives as long
// as the application) and the view posts its repaint; the window itself, which
// its close button may delete at any time, is never touched from here.

void MyQuillsteadApplication::updateVirtualMonitorPosition (juce::Point<double> position)
{
    mainComponent->updateVirtualMonitorPosition (position);
}

void MyQuillsteadApplication::showDebugText (juce::String const& text)
{
    if (windowOpen)
        mainComponent->setDebugText (text);
}

void MyQuillsteadApplication::showStreamingDebugText (juce::String const& line)
{
    if (windowOpen)
        mainComponent->setStreamingDebugText (line);
}

void MyQuillsteadApplication::showReceivedFlags (int flags)
{
    if (windowOpen)
        mainComponent->setReceivingFlags (flags);
}

void MyQuillsteadApplication::showIdle()
{
    if (windowOpen)
    {
        mainComponent->setDebugText ("Idle mode");
        mainComponent->setReceivingOS ("none");
    }

    mainComponent->setBackgroundColour (juce::Colours::grey);
    mainComponent->postRepaint();
}

void MyQuillsteadApplication::setClipboardText (juce::String const& text)
{
    desktopPlatform.getGeneralPasteboard().setString (text);
}
