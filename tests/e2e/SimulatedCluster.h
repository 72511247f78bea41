#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

/** One computer of a simulated cluster: a process of the machine program
    (tests/probes/MachineAgent.cpp) with a network namespace and a mount
    namespace of its own (private /tmp and /var/tmp), its own HOME, TMPDIR and
    Xvfb, linked to the cluster's bridge. The real program runs inside it; the
    test drives it from outside, as a user would, through the machine's X
    server, and reads what arrived there and in the machine's log.

    Every call is bounded; a call that fails says why in lastFailure. */
class SimulatedMachine
{
public:
    ~SimulatedMachine();

    juce::String const name, address;
    int const width, height;
    juce::File const base;   // home/ and tmp/ are the machine's HOME and TMPDIR

    /** Sends a command to the machine and returns what followed "ok <command>",
        or nothing when it failed or took longer than timeoutMs. */
    std::optional<juce::String> ask (juce::String const& command, int timeoutMs = 20000);
    bool run (juce::String const& command, int timeoutMs = 20000) { return ask (command, timeoutMs).has_value(); }
    juce::String lastFailure;

    int getID() const;

    //==============================================================================
    // The program

    /** Writes the settings file the program reads: the cluster ID (none when
        negative) and, when given, the stored layouts (the "LAYOUTS" element). */
    void writeSettings (int clusterID, juce::XmlElement const* layouts = nullptr);

    /** Starts the program; its process ID, or -1. The last one started is the
        one the calls below mean. */
    int start();
    int programPid = -1;

    /** Starts the program once CLOCK_MONOTONIC reaches 'micros' (machines
        started from threads of their own at the same time start together);
        the time it started at goes to startedAt. */
    int startAt (juce::int64 micros);
    juce::int64 startedAt = 0;

    /** What the program last started wrote to its standard output and error. */
    juce::File getProgramOutput() const { return base.getChildFile ("program-" + juce::String (launches) + ".out"); }

    /** The program's exit code once it ended within timeoutMs. */
    std::optional<int> waitForExit (int timeoutMs);

    /** Ends the program at once, as a crash would. */
    void kill();

    /** True while the program last started runs. */
    bool isRunning();

    /** The log and a bounded wait for a line containing 'text' after 'from'
        (a length of the log, as logLength gave it). */
    juce::File getLogFile() const;
    juce::String readLog() const;
    int logLength() const { return readLog().length(); }
    bool waitForLog (juce::String const& text, int timeoutMs = 20000, int from = 0) const;

    /** The same, for lines logged at or after a time (as now() gave it): marks that
        hold also when a restart has trimmed the log. */
    bool waitForLogSince (juce::String const& text, juce::String const& since, int timeoutMs = 20000) const;
    static juce::String now() { return juce::Time::getCurrentTime().toISO8601 (true); }


    //==============================================================================
    // The display

    bool moveTo (juce::Point<int> p);
    bool moveBy (int dx, int dy);
    bool key (int keycode, bool down);
    bool tap (int keycode);
    bool button (int number, bool down);
    bool click (int number = 1);
    bool clickAt (juce::Point<int> p);
    std::optional<juce::Point<int>> pointer();

    struct ProbeEvent
    {
        char kind = 0;   // 'K'/'k' key down/up, 'B'/'b' button down/up, 'M' motion
        int a = 0;       // keycode or button; x for motions
        int b = 0;       // modifier state; y for motions
        juce::int64 micros = 0;
    };

    /** What reached the probe window since the last call. */
    std::vector<ProbeEvent> takeEvents();

    /** The key and button events of takeEvents as text: "K38/1 k38/1 B1/0 ...". */
    juce::String takeInput();

    struct Window
    {
        juce::Rectangle<int> bounds;
        juce::String name;
    };

    /** The mapped top-level windows, bottom to top, the probe's aside. */
    std::vector<Window> windows();
    std::optional<Window> findWindow (juce::String const& name);
    bool waitForWindow (juce::String const& name, int timeoutMs = 20000);

    /** Offers text, or files, on the CLIPBOARD as another program would. */
    bool offerText (juce::String const& text);
    bool offerFiles (juce::Array<juce::File> const& files);

    /** The CLIPBOARD's bytes as another X client (xclip) reads them for a target. */
    std::optional<juce::MemoryBlock> readClipboard (juce::String const& target = "UTF8_STRING");

    bool screenshot (juce::File const& png);

    /** Keys and buttons held down on the display: "K50 B1", empty when none. */
    juce::String pressed() { return ask ("pressed").value_or ("?"); }

private:
    friend class SimulatedCluster;
    SimulatedMachine (juce::String name, juce::String address, int width, int height, juce::File base);
    bool readAvailable (int timeoutMs);
    std::optional<juce::String> nextLine (int timeoutMs);

    pid_t agent = -1;
    int channel = -1;
    int launches = 0;
    std::string buffer;
    juce::StringArray pending;
};

/** The machines of one test, joined by a bridge in the test process's own
    network namespace (the hub) with private test addresses: a broadcast of one
    reaches the others and nothing leaves the computer. Ends every machine,
    with all it started, when it goes. */
class SimulatedCluster
{
public:
    SimulatedCluster();
    ~SimulatedCluster();

    /** Starts a machine with a display of the given size, a probe window and a
        system tray (the agent's "tray"; "notray" ends it); null when that
        failed (the reason goes to the test's output). */
    SimulatedMachine* add (juce::String const& name, juce::String const& address, int width, int height);

    std::vector<std::unique_ptr<SimulatedMachine>> const& getMachines() const { return machines; }

    /** Writes a screenshot of every display into 'folder' and prints its path,
        then every machine's log and program output. */
    void report (juce::File const& folder);

    /** What every program started on every machine wrote to its standard
        output and error. */
    juce::Array<juce::File> programOutputs() const;

private:
    std::vector<std::unique_ptr<SimulatedMachine>> machines;
    bool hubMade = false;
};

/** The stored layouts one setting "LAYOUTS" holds, in the server's form: for
    each arrangement the content size and each machine's address, desktop
    size and place. */
struct StoredLayout
{
    struct Place
    {
        SimulatedMachine const* machine;
        int x, y;
    };

    int contentWidth, contentHeight;
    std::vector<Place> places;

    static std::unique_ptr<juce::XmlElement> toXml (std::vector<StoredLayout> const& layouts);
};
