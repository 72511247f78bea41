#pragma once

#include "input/InputHost.h"
#include "input/KeyboardAndMouseListenerThread.h"
#include "input/SocketThread.h"
#include "ipc/ClientIPC.h"
#include "ipc/Machine.h"
#include "platform/DesktopPlatform.h"
#include "platform/DisplaySource.h"
#include "platform/InputPlatform.h"
#include "platform/SecondLaunchNotice.h"
#include "ui/MainComponent.h"
#include "ui/MainWindow.h"
#include "ui/MySystemTrayIconComponent.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>

/** The application: the JUCE application object, its own cluster client (the
    operations of ClientIPC), and the owner of every long-lived part of the
    program: the machine registry, the SocketThread, the event-tap thread, the
    layout view, the main window, the log and the status item.

    Where its code lives:
      - MyQuillsteadApplication.cpp: construction, start-up (initialise with
        its start-up task), the single instance, quitting, shut-down and
        destruction;
      - MachineRegistry.cpp: the registry and the desktop watch (the timer);
      - ControlSwitching.cpp: moving control between machines, and the
        InputHost side that input sharing calls;
      - PasteboardHandOff.cpp: the clipboard and the file hand-off;
      - MenuBar.cpp: the status item, its pictures and menu, the main window.

    Locks, always taken in this order, never the other way round:
      controlLock  (recursive) serialises the control operations that arrive on
                   the connection thread, the message thread and the event-tap
                   thread;
      registryLock (recursive) guards the structure of myCopyOfMachines: every
                   insertion, erasure, clearing and lookup, from any thread;
      positionLock guards the entries' places, monitors and areas, the cursors,
                   myTotalArea, myMonitors and the main display.
    Nobody waits for the event-tap thread while holding controlLock, and
    nobody waits for any thread while holding registryLock or positionLock.
    The SocketThread takes neither controlLock nor waits for its holder, so
    the mode changes, which stop and start it, run under controlLock.

    The platforms are handed in from outside: the program runs on X11, tests
    build the whole application on the in-memory backends. */
class MyQuillsteadApplication : public juce::JUCEApplication,
                                public ClientIPC,
                                public juce::Timer,
                                private InputHost
{
    // Declared first, so that it goes last of the members.
    std::unique_ptr<DesktopPlatform> ownedDesktopPlatform;

public:
    /** What the application runs on. Not owned; they outlive the application. */
    struct Platforms
    {
        InputPlatform& input;
        DesktopPlatform& desktop;
        DisplaySource& displays;
    };

    explicit MyQuillsteadApplication (Platforms platforms);

    /** The program's form: the application also owns the desktop platform
        (which 'platforms' names), so that the platform's windows go with the
        application, while JUCE's GUI support is still up. */
    MyQuillsteadApplication (Platforms platforms, std::unique_ptr<DesktopPlatform> ownedDesktopPlatform);
    ~MyQuillsteadApplication() override;

    // Nested names under which the rest of the program knows these parts.
    using SocketThread = ::SocketThread;
    using KeyboardAndMouseListenerThread = ::KeyboardAndMouseListenerThread;
    using MainWindow = ::MainWindow;
    using MySystemTrayIconComponent = ::MySystemTrayIconComponent;

    //==============================================================================
    // juce::JUCEApplication
    const juce::String getApplicationName() override       { return "Corvelline"; }
    const juce::String getApplicationVersion() override    { return "1.0.0"; }
    bool moreThanOneInstanceAllowed() override             { return false; }
    void initialise (juce::String const& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (juce::String const& commandLine) override;
    void systemRequestedQuit() override;

    //==============================================================================
    // ClientIPC: the registry (MachineRegistry.cpp)
    void tellMainComponentIAmServer() override;
    void timerCallback() override;
    void addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                     juce::Rectangle<int>& area, juce::String const& os) override;
    void removeMachine (juce::String const& ip, int port, int id) override;
    void clearMachines() override;
    void updateMachinePosition (int id, int x, int y, bool moveComponent) override;
    void updateMachineDisplay (juce::ValueTree const& tree) override;
    void resizeContentComponent (int width, int height) override;

    // ClientIPC: control switching (ControlSwitching.cpp)
    void jumpTo (int id) override;
    void jumpToMiddle (bool updateVirtual) override;
    void setCurrentInputID (int id) override;
    void setCurrentReceivingID (int id) override;
    void stopSocketThread (bool checkPartner) override;
    void stopListenerThread() override;
    void gotReceivingModeMessage (juce::String const& fromOS) override;
    void gotIdleModeMessage() override;
    void prepareLocalAndRemote (int id, bool requestMiddle) override;
    void takeBackControl() override;

    // ClientIPC: pasteboard and files (PasteboardHandOff.cpp)
    void sendFileToMachine (juce::File file, int id, bool fromDrag) override;
    juce::Array<juce::File> checkPasteboardForDraggedFiles() override;
    juce::Array<juce::File> checkPasteboardForFiles() override;
    void addFileToClipboard (juce::File file, bool toDragPasteboard) override;
    void addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files) override;
    void emptyClipboard() override;
    juce::FileLogger* getLogger() override;

    //==============================================================================
    // Menu bar and window (MenuBar.cpp)

    /** Shows the active or the normal picture. Message thread. */
    void switchMenuBarImage (bool active);

    /** "Show Window": a fresh main window, replacing an open one. Message thread. */
    void showWindow();

    /** Records the machine that receives this machine's input. Any thread. */
    void setActiveMonitorID (int id) override;

    //==============================================================================
    // Members, in this order (see the comment above for the locks).
    std::unique_ptr<SocketThread> socketThread;
    std::map<int, Machine> myCopyOfMachines;
    juce::CriticalSection registryLock;
    juce::CriticalSection positionLock;
    std::atomic<int> activeMonitorID { -1 };
    juce::Point<double> localCursor;                        // positionLock
    std::unique_ptr<KeyboardAndMouseListenerThread> listenerThread;
    std::unique_ptr<MainWindow> mainWindow;                 // message thread
    juce::Rectangle<int> myTotalArea;                       // positionLock
    juce::RectangleList<int> myMonitors;                    // positionLock
    juce::Point<double> virtualCursor;                      // positionLock
    juce::Rectangle<int> mainDisplayArea;                   // positionLock; the main display, whose size is "mainDisplaySize"
    std::unique_ptr<juce::FileLogger> logger;
    std::unique_ptr<MainComponent> mainComponent;
    MySystemTrayIconComponent trayIcon;

protected:
    //==============================================================================
    // ClientIPC's clipboard text goes through the platform pasteboard.
    juce::String getTextFromClipboard() override;
    void copyTextToClipboard (juce::String const& text) override;

private:
    //==============================================================================
    // InputHost (ControlSwitching.cpp)
    int getOwnID() const override;
    int getActiveMonitorID() const override;
    int getCurrentInputID() const override;
    int getNumMachines() const override;
    std::optional<juce::Rectangle<int>> getOwnArea() const override;
    juce::Rectangle<int> getOwnDesktop() const override;
    juce::Point<double> getWarpPoint() const override;
    int getIDOfMachineAt (int x, int y) const override;
    juce::Point<double> getLocalCursor() const override;
    void setLocalCursor (juce::Point<double> position) override;
    juce::Point<double> getVirtualCursor() const override;
    void setVirtualCursor (juce::Point<double> position) override;
    void inputReceived() override;
    void requestClipboardFromTo (int fromID, int toID) override;
    void sendToServer (juce::String const& text) override;
    juce::CriticalSection& getControlLock() override;
    void stopMessageLoop() override;
    void updateVirtualMonitorPosition (juce::Point<double> position) override;
    void showDebugText (juce::String const& text) override;
    void showStreamingDebugText (juce::String const& line) override;
    void showReceivedFlags (int flags) override;
    void showIdle() override;
    void setClipboardText (juce::String const& text) override;

    //==============================================================================
    /** A copy of the registry's entry (without connection), taken under the locks. */
    std::optional<Machine> findMachine (int id) const;

    /** Runs work on the message thread later, unless the client has closed by then. */
    void post (std::function<void (MyQuillsteadApplication&)> work);
    void postMenuBarImage (bool active);

    /** The SocketThread goes idle; this machine's input reaches its own desktop again. */
    void setSocketThreadIdle();

    /** This machine stops sending: its input comes home. The SocketThread goes
        idle, nothing is withheld, the own machine is the active one, the
        pointer stays where the user sees it and the edges cross again; the
        menu-bar picture turns active. Nothing is sent to the server. */
    void comeHome();

    /** Keeps this machine's keys and buttons from its desktop before its
        input goes to another machine; false (said once in the log for a run
        of refusals) when another client holds the input. controlLock. */
    bool startWithholding();
    void stopWithholding();

    /** Reads the local monitors, their bounding box and the main display. */
    void readLocalDesktop();

    /** The event-tap thread, once start-up has made it; any thread. */
    KeyboardAndMouseListenerThread* getListenerThread() const noexcept { return listener.load(); }
    void startListenerThreadIfDue();

    /** Discovery, or the own server: the start-up work (start-up thread). */
    void findOrBecomeServer();

    /** A quit during start-up: the search gives up at its next step, and the
        start-up work ends without making a server or searching on. Message thread. */
    void abandonStartUp();

    /** The close button: hides the window now, deletes it once the button's call has returned.
        Without a system tray the window is the only way in: closing it quits. */
    void closeMainWindow();

    /** Without a system tray the main window stands in for the status item's
        menu: it shows (at start, or once a tray has gone and not come back),
        with a "Quit" button, and the lack is written to the log and to
        standard error. */
    void showWindowInsteadOfStatusItem();
    void statusItemShownChanged();
    bool isStatusItemShown() const;

    /** The "Quit" button of the window while no status item is shown. */
    void updateQuitButton();

    /** Stops both threads, waiting for them without killing them. */
    void stopThreadsForGood();

    //==============================================================================
    InputPlatform& inputPlatform;
    DesktopPlatform& desktopPlatform;
    DisplaySource& displaySource;

    juce::CriticalSection controlLock;
    bool withholdingRefused = false;                          // controlLock; the last switch away could not withhold
    std::unique_ptr<SecondLaunchNotice> secondLaunchNotice;   // only in the instance that holds the lock
    std::unique_ptr<juce::Thread> startUpThread;              // owned; joined, never killed
    std::atomic<bool> quittingStartUp { false };              // a quit came during start-up
    std::atomic<KeyboardAndMouseListenerThread*> listener { nullptr };
    std::atomic<bool> windowOpen { false };
    bool initialised = false;                                 // message thread; false in a refused launch
    bool menuReady = false;                                   // message thread; the status item has its menu
    std::unique_ptr<juce::Timer> trayWait;                    // message thread; the wait for a tray that went
    int windowGeneration = 0;                                 // message thread; counts the windows shown

    JUCE_DECLARE_NON_COPYABLE (MyQuillsteadApplication)
};
