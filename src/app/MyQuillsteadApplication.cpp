#include "app/MyQuillsteadApplication.h"

#include "core/AppFolders.h"
#include "core/Logging.h"
#include "core/SingletonApplicationProperties.h"
#include "ipc/MyQuillsteadIPC.h"
#include "platform/AppTempFolder.h"
#include "platform/QuitSignals.h"

#include <csignal>

namespace
{
constexpr int applicationTimerMs = 100;
constexpr int cancellingTimeoutMs = 10000;
constexpr int socketThreadStopMs = 1000;
constexpr int searchAgainPauseMs = 100;
// Searches for the server this machine has just made before it gives up (also
// after "Cancel": its own server is there to accept it): a server of another
// cluster answers each request too, and when it answers faster, its refusals
// can use up every attempt of one search.
constexpr int ownServerSearches = 5;

/** Runs the start-up work on a thread that the application owns and joins:
    it is never killed, whatever the progress window does. */
class StartUpThread : public juce::Thread
{
public:
    explicit StartUpThread (std::function<void()> workToRun)
        : juce::Thread ("Corvelline start-up"), work (std::move (workToRun)) {}

    void run() override { work(); }

private:
    std::function<void()> work;
};
} // namespace

//==============================================================================
MyQuillsteadApplication::MyQuillsteadApplication (Platforms platforms)
    : inputPlatform (platforms.input),
      desktopPlatform (platforms.desktop),
      displaySource (platforms.displays)
{
    // The status item with the normal picture.
    trayIcon.setStatusItem (&desktopPlatform.getStatusItem());
    switchMenuBarImage (false);
    desktopPlatform.getStatusItem().onShownChange = [this] { statusItemShownChanged(); };

    // The monitors this machine announces are the ones it watches.
    setDisplaySource (displaySource);

    InputHost& host = *this;
    socketThread = std::make_unique<SocketThread> (host, inputPlatform, "MAC", "DriftLanternK7q");
    startTimer (applicationTimerMs);
    Logging::start (logger);
    SingletonApplicationProperties::configure();
    mainComponent = std::make_unique<MainComponent> (this);
}

MyQuillsteadApplication::MyQuillsteadApplication (Platforms platforms, std::unique_ptr<DesktopPlatform> owned)
    : MyQuillsteadApplication (platforms)
{
    jassert (owned.get() == &platforms.desktop);
    ownedDesktopPlatform = std::move (owned);
}

MyQuillsteadApplication::~MyQuillsteadApplication()
{
    // No control message, file transfer, posted work or tray news reaches
    // the application from here on.
    desktopPlatform.getStatusItem().onShownChange = nullptr;
    closeClient();
    stopTimer();

    // shutdown() has stopped them already when JUCE ran it.
    stopThreadsForGood();

    // What the settings hold is written now, and the files closed while JUCE
    // is still up.
    SingletonApplicationProperties::get().closeFiles();
}

//==============================================================================
void MyQuillsteadApplication::initialise (juce::String const&)
{
    initialised = true;

    secondLaunchNotice = std::make_unique<SecondLaunchNotice> ([this] (juce::String const& commandLine)
    {
        anotherInstanceStarted (commandLine);
    });

    DBGOrLog ("App initialise");

    // A session that ends, a terminal that closes or Ctrl+C asks as "Quit" does.
    QuitSignals::watch ([this] (int signal)
    {
        DBGOrLog (juce::String ("Quitting on ") + (signal == SIGTERM ? "SIGTERM" : signal == SIGHUP ? "SIGHUP"
                                                  : signal == SIGINT ? "SIGINT" : "a signal"));
        desktopPlatform.requestQuit();
    });

    // JUCE's progress window kills its thread when it has not ended 10 s
    // after "Cancel". The work itself therefore runs on a thread of our own:
    // the window's thread only waits for it and hands a "Cancel" on to it
    // (a discovery waiting for approval then gives up, and this machine
    // becomes the server of its own cluster).
    class InitTask : public juce::ThreadWithProgressWindow
    {
    public:
        InitTask (ClientIPC* clientToUse, juce::Thread& workerToUse)
            : juce::ThreadWithProgressWindow ("Looking for existing Corvelline server", false, true,
                                              cancellingTimeoutMs, "Cancel", nullptr),
              clientIPC (clientToUse), worker (workerToUse)
        {
        }

        // Ended here, not by the base's destructor: a thread that has not
        // reached run() by then would find no run() of ours to call.
        ~InitTask() override
        {
            signalThreadShouldExit();
            waitForThreadToExit (-1);
        }

        void run() override
        {
            jassert (clientIPC != nullptr);
            worker.startThread();

            while (! worker.waitForThreadToExit (20))
            {
                if (threadShouldExit())
                {
                    worker.signalThreadShouldExit();
                    return;
                }
            }
        }

        /** The window has closed: the work has ended, or "Cancel" was pressed. */
        void threadComplete (bool) override   { windowClosed = true; }
        bool hasWindowClosed() const noexcept  { return windowClosed; }

    private:
        [[maybe_unused]] ClientIPC* clientIPC;   // checked in debug builds only
        juce::Thread& worker;
        bool windowClosed = false;               // message thread
    };

    startUpThread = std::make_unique<StartUpThread> ([this] { findOrBecomeServer(); });
    auto* messageManager = juce::MessageManager::getInstance();

    // The wait is ours, not JUCE's runThread: once a quit has been asked for,
    // the dispatch loop returns at once and the window's timer, which would
    // end JUCE's wait, never runs again. This one ends when the work has
    // ended (after a "Cancel" it goes on to its end, the window gone), or
    // at a quit, which makes the work give up.
    {
        InitTask task (this, *startUpThread);
        task.launchThread (juce::Thread::Priority::normal);

        while (! task.hasWindowClosed() || startUpThread->isThreadRunning())
        {
            if (messageManager->hasStopMessageBeenSent())
            {
                abandonStartUp();
                break;
            }

            messageManager->runDispatchLoopUntil (5);
        }
    }

    // Never killed: told to give up, it does so at its next step.
    startUpThread->waitForThreadToExit (-1);

    // A quit during start-up: JUCE goes on to shutdown().
    if (messageManager->hasStopMessageBeenSent())
        return;

    setActiveMonitorID (clientID);
    readLocalDesktop();

    if (getListenerThread() == nullptr)
    {
        InputHost& host = *this;
        listenerThread = std::make_unique<KeyboardAndMouseListenerThread> (host, inputPlatform, *socketThread);
        listener = listenerThread.get();
    }

    startListenerThreadIfDue();

    // Accessibility: ask with the prompt only once a run has lacked the rights.
    auto marker = AppFolders::getAccessibilityMarker();

    if (desktopPlatform.isTrusted (marker.existsAsFile()))
    {
        if (marker.existsAsFile())
            marker.deleteFile();
    }
    else
    {
        marker.create();
        juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, "No accessibility",
                                                "Please make sure to enable accessibility rights, then restart!");
    }

    trayIcon.setMenu ("Corvelline",
                      { { "Show Window", [this] { showWindow(); } },
                        { "Quit", [this] { desktopPlatform.requestQuit(); } } });
    menuReady = true;

    if (! isStatusItemShown())
        showWindowInsteadOfStatusItem();
}

void MyQuillsteadApplication::findOrBecomeServer()
{
    auto readClusterID = [this]
    {
        if (auto* settings = SingletonApplicationProperties::get().getUserSettings())
            clusterID = settings->getIntValue ("clusterID", -1);
    };

    // A server that accepted this machine exists even when the connection to
    // it failed (a lost packet): search again instead of becoming a second
    // server of the cluster. Only when nobody accepts does this machine serve.
    auto search = [this]
    {
        auto result = udpConnectToServer();

        while (result == Discovery::connectFailed && ! juce::Thread::currentThreadShouldExit() && ! destroying
               && ! quittingStartUp)
        {
            juce::Thread::sleep (searchAgainPauseMs);
            result = udpConnectToServer();
        }

        return result;
    };

    readClusterID();
    auto result = search();

    // After a quit, nothing more: no server of its own, no search in the background.
    if (result == Discovery::notAccepted && ! quittingStartUp)
    {
        createOwnServer();
        tellMainComponentIAmServer();
        readClusterID();

        auto joined = false;

        for (int i = 0; i < ownServerSearches && ! joined && ! destroying && ! quittingStartUp; ++i)
            joined = search() == Discovery::joined;

        if (! joined && ! quittingStartUp)
        {
            juce::MessageManager::callAsync ([]
            {
                juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, "Failure!",
                                                        "Not connecting to myself as server!");
            });
        }
    }
    else if (result == Discovery::connectFailed && ! quittingStartUp)
    {
        // Cancelled while a server exists: the search goes on in the background.
        launchReconnectThread();
    }

    startingUp = false;
}

void MyQuillsteadApplication::abandonStartUp()
{
    quittingStartUp = true;
    abandonSearching();
    startUpThread->signalThreadShouldExit();
}

void MyQuillsteadApplication::readLocalDesktop()
{
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total;
    decodeMonitorInfo (monitors, total, createMonitorInfo (true, displaySource));
    auto mainDisplay = displaySource.getMainDisplayArea();

    const juce::ScopedLock pl (positionLock);
    myMonitors = monitors;
    myTotalArea = total;

    if (mainDisplay.has_value())
        mainDisplayArea = *mainDisplay;
}

void MyQuillsteadApplication::startListenerThreadIfDue()
{
    auto* tap = getListenerThread();

    if (tap == nullptr || tap->isThreadRunning())
        return;

    if (getNumMachines() >= 2 && socketThread->getMode() != SocketThread::Receiving)
        tap->startThread();
}

//==============================================================================
void MyQuillsteadApplication::anotherInstanceStarted (juce::String const&)
{
    juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, "Already running!",
                                            "Only one instance of this app is allowed to run.");
}

void MyQuillsteadApplication::systemRequestedQuit()
{
    DBGOrLog ("systemRequestedQuit");
    juce::MessageManager::getInstance()->stopDispatchLoop();
}

void MyQuillsteadApplication::shutdown()
{
    DBGOrLog ("Shutdown...");
    QuitSignals::stopWatching();

    if (socketThread != nullptr)
    {
        // Asked to stop and given a second; never killed (its destructor
        // waits for it if it is late).
        socketThread->signalThreadShouldExit();
        socketThread->waitForThreadToExit (socketThreadStopMs);
    }

    DBGOrLog ("...socketThread is gone");

    if (auto* tap = getListenerThread(); tap != nullptr && tap->isThreadRunning())
        stopListenerThread();

    DBGOrLog ("...listenerThread too");

    windowOpen = false;
    mainWindow.reset();

    // Nothing reaches the log from here on, whatever the threads still
    // running say while they end.
    Logging::stop();

    // Every thread that could still write to the temporary folder ends before
    // it goes: the reconnect search, the control connection, the file
    // transfers, the hosted server, late threads.
    closeClient();
    ipcServer.reset();
    stopThreadsForGood();

    if (initialised)
    {
        secondLaunchNotice.reset();
        AppTempFolder::remove();
    }
    else
    {
        // JUCE refused this launch: another instance runs, and its temporary
        // folder is the same as ours. Tell it, and leave the folder alone.
        SecondLaunchNotice::tellRunningInstance (getCommandLineParameters());
    }
}

void MyQuillsteadApplication::stopThreadsForGood()
{
    if (auto* tap = getListenerThread())
        while (tap->isThreadRunning())
            tap->stopListening (100);

    if (socketThread != nullptr)
    {
        socketThread->signalThreadShouldExit();
        socketThread->waitForThreadToExit (-1);
    }

    if (startUpThread != nullptr)
        startUpThread->waitForThreadToExit (-1);
}
