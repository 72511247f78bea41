#include "input/SocketThread.h"

#include "core/Logging.h"
#include "input/EventDatagram.h"
#include "input/EventReplay.h"
#include "input/MacKeyCodeWizard.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace
{
/** The largest datagram read; a longer one yields its first bytes. */
constexpr int maxDatagramBytes = 256;

constexpr SocketThread::SocketMode modeOf (int value)   { return static_cast<SocketThread::SocketMode> (value); }
} // namespace

SocketThread::SocketThread (InputHost& appToUse, InputPlatform& platformToUse, juce::String localOSToUse, juce::String keyToUse)
    : juce::Thread ("SocketThread"),
      localOS (std::move (localOSToUse)),
      app (appToUse),
      platform (platformToUse),
      datagram (std::make_unique<EventDatagram> (keyToUse)),
      replay (std::make_unique<EventReplay> (appToUse, platformToUse, macKeyCodeWizard)),
      receiveWakeFd (eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    addListener (&exitWaker);
}

SocketThread::~SocketThread()
{
    stopRunning (timeoutMs);
    removeListener (&exitWaker);

    if (receiveWakeFd >= 0)
        ::close (receiveWakeFd);
}

//==============================================================================
void SocketThread::setReadingUDPPort (int port)
{
    DBGOrLog ("SocketThread::setReadingUDPPort: " + juce::String (port));
    readingPort = port;
}

void SocketThread::setSending (juce::String const& ip, int port, juce::String const& os, int ownPort)
{
    setReadingUDPPort (ownPort);
    DBGOrLog ("SocketThread setSending");
    stopForModeChange();

    {
        const juce::ScopedLock sl (stagingLock);
        {
            const std::lock_guard<std::mutex> al (addressLock);
            targetIP = ip;
            targetPort = port;
            targetOS = os;
        }
        mode = Sending;
    }

    startThread();
}

void SocketThread::setReceiving (juce::String const& fromOS, int ownPort, std::vector<Sender> from,
                                 juce::StringArray memberAddresses)
{
    setReadingUDPPort (ownPort);
    DBGOrLog ("SocketThread setReceiving");
    stopForModeChange();
    mode = Receiving;
    setSendingOS (fromOS);

    {
        const std::lock_guard<std::mutex> al (addressLock);
        auto const one = from.size() == 1 ? from.front() : Sender();
        senderIP = one.ip;
        senderPort = one.port;
        expectedSenders = std::move (from);
        knownAddresses = std::move (memberAddresses);

        for (auto const& sender : expectedSenders)
            knownAddresses.addIfNotAlreadyThere (sender.ip);
    }

    platform.declareUserActivity ("KVMWakeup");
    startThread();
}

void SocketThread::setSendingOS (juce::String const& os)
{
    DBGOrLog ("SocketThread::setSendingOS: " + Logging::excerpt (os));
    const std::lock_guard<std::mutex> al (addressLock);
    sendingOS = os;
}

void SocketThread::setIdle()
{
    DBGOrLog ("SocketThread setIdle");
    stopForModeChange();
    app.showIdle();
}

void SocketThread::stopRunning (int waitMs)
{
    if (getCurrentThreadId() == getThreadId())
    {
        signalThreadShouldExit();
        return;
    }

    signalThreadShouldExit();

    if (! waitForThreadToExit (waitMs))
    {
        DBGOrLog ("SocketThread is late to stop; waiting for it");
        waitForThreadToExit (-1);
    }
}

void SocketThread::stopForModeChange()
{
    stopRunning (3 * timeoutMs);

    // Keys and buttons still down when receiving ends or passes to another
    // sender would otherwise stay down here.
    if (mode == Receiving)
        replay->releaseHeldInput();

    // Nothing queued for one target may reach the next. The mode goes to Idle
    // in the same step, so no producer queues for the old target afterwards.
    const juce::ScopedLock sl (stagingLock);
    {
        const std::lock_guard<std::mutex> ql (queueLock);
        eventQueue.clear();
    }
    mode = Idle;
}

//==============================================================================
bool SocketThread::queueEvent (std::function<void (EventPlusData&)> const& stage)
{
    const juce::ScopedLock sl (stagingLock);

    if (mode != Sending)
        return false;

    stage (stagingEvent);

    {
        const std::lock_guard<std::mutex> ql (queueLock);
        eventQueue.push_back (stagingEvent);
    }

    queueChanged.notify_one();
    return true;
}

void SocketThread::sendKeyUp (juce::uint16 keyCode, juce::uint64 flags)
{
    queueEvent ([&] (EventPlusData& e)
    {
        e.type = 9;

        if (targetIsSameSystem())
        {
            e.keyCode = keyCode;
            e.flags = flags;
        }
        else
        {
            e.text = macKeyCodeWizard.getName (keyCode);
        }
    });
}

void SocketThread::wakeSendingLoop()
{
    {
        const std::lock_guard<std::mutex> ql (queueLock);
    }
    queueChanged.notify_all();
}

void SocketThread::wakeReceiveWait()
{
    const uint64_t one = 1;

    if (receiveWakeFd >= 0)
    {
        [[maybe_unused]] auto written = ::write (receiveWakeFd, &one, sizeof (one));
    }
}

int SocketThread::waitForDatagram (juce::DatagramSocket& socket)
{
    if (receiveWakeFd < 0)
        return socket.waitUntilReady (true, timeoutMs);

    pollfd fds[2] = { { socket.getRawSocketHandle(), POLLIN, 0 }, { receiveWakeFd, POLLIN, 0 } };
    const int ready = ::poll (fds, 2, timeoutMs);

    if (ready < 0)
        return errno == EINTR ? 0 : -1;

    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0)
        return -1;

    return (fds[0].revents & POLLIN) != 0 ? 1 : 0;
}

//==============================================================================
juce::String SocketThread::getTargetIP() const     { const std::lock_guard<std::mutex> al (addressLock); return targetIP; }
int SocketThread::getTargetPort() const            { const std::lock_guard<std::mutex> al (addressLock); return targetPort; }
juce::String SocketThread::getTargetOS() const     { const std::lock_guard<std::mutex> al (addressLock); return targetOS; }
juce::String SocketThread::getSenderIP() const     { const std::lock_guard<std::mutex> al (addressLock); return senderIP; }
int SocketThread::getSenderPort() const            { const std::lock_guard<std::mutex> al (addressLock); return senderPort; }
juce::String SocketThread::getSendingOS() const    { const std::lock_guard<std::mutex> al (addressLock); return sendingOS; }

bool SocketThread::mayBeDrivenBy (juce::String const& ip, int port) const
{
    const std::lock_guard<std::mutex> al (addressLock);
    return mode == Receiving
        && std::any_of (expectedSenders.begin(), expectedSenders.end(),
                        [&] (Sender const& s) { return s.ip == ip && s.port == port; });
}

std::optional<SocketThread::Sender> SocketThread::findSender (juce::String const& fromIP, int fromPort) const
{
    auto const byAddress = [&] (Sender const& s) { return s.ip == fromIP; };
    auto const byPort = [&] (Sender const& s) { return s.port == fromPort; };

    // A member's own address speaks for that member alone (its exact port
    // first, when two share a host).
    if (knownAddresses.contains (fromIP))
    {
        for (auto const& s : expectedSenders)
            if (byAddress (s) && byPort (s))
                return s;

        auto const found = std::find_if (expectedSenders.begin(), expectedSenders.end(), byAddress);
        return found != expectedSenders.end() ? std::optional<Sender> (*found) : std::nullopt;
    }

    // Any other address: a second address of the machine whose port it is.
    if (fromPort <= 0 || std::count_if (expectedSenders.begin(), expectedSenders.end(), byPort) != 1)
        return std::nullopt;

    return *std::find_if (expectedSenders.begin(), expectedSenders.end(), byPort);
}

bool SocketThread::targetIsSameSystem() const
{
    const std::lock_guard<std::mutex> al (addressLock);
    return targetOS == localOS;
}

//==============================================================================
void SocketThread::run()
{
    auto socket = std::make_unique<juce::DatagramSocket> (false);
    auto const port = readingPort.load();

    if (! socket->bindToPort (port))
    {
        juce::MessageManager::callAsync ([]
        {
            juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon,
                                                    "Port binding failed", "Please restart the app");
        });
        socket->shutdown();
        return;
    }

    DBGOrLog ("Start SocketThread with bound port: " + juce::String (port));

    // A request to exit that came before this run is over; one from now on
    // ends the receive wait.
    uint64_t pendingWakes = 0;

    if (receiveWakeFd >= 0)
    {
        [[maybe_unused]] auto readBytes = ::read (receiveWakeFd, &pendingWakes, sizeof (pendingWakes));
    }

    // The addresses change only while the thread is stopped.
    juce::String ip;
    int toPort = 0;
    bool sameSystem = false;
    {
        const std::lock_guard<std::mutex> al (addressLock);
        ip = targetIP;
        toPort = targetPort;
        sameSystem = targetOS == localOS;
    }

    replay->startRun();
    positionRepeat.reset();

    for (;;)
    {
        if (threadShouldExit())
        {
            socket->shutdown();
            socket.reset();
            DBGOrLog ("Leave SocketThread");
            return;
        }

        switch (modeOf (mode.load()))
        {
            case Sending:
                if (! sendNextEvent (*socket, ip, toPort, sameSystem))
                {
                    DBGOrLog ("Leave SocketThread (top check)");
                    socket->shutdown();
                    return;
                }
                break;

            case Receiving:
                receiveOne (socket.get());
                break;

            case Idle:
            default:
                wait (10);
                break;
        }
    }
}

bool SocketThread::sendNextEvent (juce::DatagramSocket& socket, juce::String const& ip, int port, bool sameSystem)
{
    EventPlusData event;

    {
        std::unique_lock<std::mutex> ql (queueLock);

        while (eventQueue.empty())
        {
            if (threadShouldExit())
                return false;

            ql.unlock();
            auto const repeatDue = repeatPositionIfDue (socket, ip, port);
            ql.lock();

            if (eventQueue.empty())
                queueChanged.wait_for (ql, juce::jmin (std::chrono::milliseconds (timeoutMs),
                                                       repeatDue.value_or (std::chrono::milliseconds (timeoutMs))));
        }

        // A backlog of pointer positions shrinks to the newest one; every
        // other event, drags included, keeps its place.
        if (eventQueue.front().type == 0)
        {
            auto newest = eventQueue.size();

            for (auto i = eventQueue.size(); i-- > 0;)
                if (eventQueue[i].type == 0)
                {
                    if (newest == eventQueue.size())
                        newest = i;
                    else
                        eventQueue.erase (eventQueue.begin() + (std::ptrdiff_t) i);
                }
        }

        event = std::move (eventQueue.front());
        eventQueue.pop_front();
    }

    auto const text = EventDatagram::makeText (event, sameSystem);

    if (text.isEmpty())
        return true;

    auto const bytes = datagram->encrypt (text);

    // A position is due again once the pointer rests, also when it could not
    // be sent now; anything else sent after it makes it not the last.
    if (event.type == 0 || event.type == 1)
        positionRepeat = PositionRepeat { bytes, std::chrono::steady_clock::now() };
    else
        positionRepeat.reset();

    if (socket.waitUntilReady (false, timeoutMs) == 0)
    {
        DBGOrLog ("Socket not ready for writing");
        app.showDebugText ("Socket not ready for writing");
        return true;
    }

    if (socket.write (ip, port, bytes.getData(), (int) bytes.getSize()) != (int) bytes.getSize())
        DBGOrLog ("Socket write failed");

    app.showStreamingDebugText (text);
    return true;
}

std::optional<std::chrono::milliseconds> SocketThread::repeatPositionIfDue (juce::DatagramSocket& socket,
                                                                          juce::String const& ip, int port)
{
    using namespace std::chrono;
    auto const now = steady_clock::now();

    while (positionRepeat.has_value())
    {
        auto const due = positionRepeat->sent + milliseconds (positionRepeatMs[positionRepeat->repeats]);

        if (now < due)
            return ceil<milliseconds> (due - now);

        auto const& bytes = positionRepeat->bytes;

        if (socket.waitUntilReady (false, 0) == 1)
            socket.write (ip, port, bytes.getData(), (int) bytes.getSize());

        if (++positionRepeat->repeats == std::size (positionRepeatMs))
            positionRepeat.reset();
    }

    return std::nullopt;
}

void SocketThread::receiveOne (juce::DatagramSocket* socket)
{
    if (socket == nullptr)
    {
        app.showDebugText ("Error when trying to read from socket");
        return;
    }

    auto const ready = waitForDatagram (*socket);

    if (ready <= 0)
    {
        app.showDebugText (ready == 0 ? "Nothing to read in receive mode" : "Error when trying to read from socket");
        return;
    }

    if (socket->getBoundPort() < 0)
        return;

    char buffer[maxDatagramBytes];
    juce::String fromIP;
    int fromPort = 0;
    auto const size = socket->read (buffer, maxDatagramBytes, false, fromIP, fromPort);
    juce::String fromOS;

    {
        // Anyone can send here: only the machine driving this one is replayed.
        const std::lock_guard<std::mutex> al (addressLock);
        auto const found = size < 1 ? std::nullopt : findSender (fromIP, fromPort);

        if (! found.has_value())
            return;

        auto const sender = *found;
        expectedSenders = { sender };
        senderIP = sender.ip;
        senderPort = sender.port;
        fromOS = sendingOS;
    }

    auto const text = datagram->decode (buffer, (size_t) size);
    app.showDebugText ("Message received");
    app.showStreamingDebugText (replay->replay (text, fromOS));
}
