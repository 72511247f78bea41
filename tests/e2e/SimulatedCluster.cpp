#include "e2e/SimulatedCluster.h"

#include "core/SingletonApplicationProperties.h"
#include "ipc/Machine.h"
#include "support/TestEnvironment.h"

#include <juce_data_structures/juce_data_structures.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#if ! defined (CORVELLINE_E2E_MACHINE) || ! defined (CORVELLINE_PROGRAM)
 #error "CORVELLINE_E2E_MACHINE and CORVELLINE_PROGRAM must name the machine program and the program under test"
#endif

namespace
{
constexpr const char* hubName = "e2ehub";
} // namespace

SimulatedMachine::SimulatedMachine (juce::String n, juce::String a, int w, int h, juce::File b)
    : name (n), address (a), width (w), height (h), base (b)
{
}

SimulatedMachine::~SimulatedMachine()
{
    if (channel >= 0)
    {
        // Asked first, so that it ends its programs and its X server itself.
        const char quit[] = "quit\n";
        (void) ::write (channel, quit, sizeof (quit) - 1);

        for (int i = 0; i < 250 && waitpid (agent, nullptr, WNOHANG) != agent; ++i)
            juce::Thread::sleep (20);

        ::close (channel);
    }

    if (agent > 0 && ::kill (agent, SIGKILL) == 0)
        waitpid (agent, nullptr, 0);
}

int SimulatedMachine::getID() const { return computeMachineID (address); }

bool SimulatedMachine::readAvailable (int timeoutMs)
{
    pollfd p { channel, POLLIN, 0 };
    char chunk[65536];

    if (channel < 0 || ::poll (&p, 1, timeoutMs) <= 0)
        return false;

    auto n = ::read (channel, chunk, sizeof (chunk));

    if (n <= 0)
    {
        ::close (channel);
        channel = -1;
        return false;
    }

    buffer.append (chunk, (size_t) n);

    for (auto end = buffer.find ('\n'); end != std::string::npos; end = buffer.find ('\n'))
    {
        pending.add (juce::String::fromUTF8 (buffer.data(), (int) end));
        buffer.erase (0, end + 1);
    }

    return true;
}

std::optional<juce::String> SimulatedMachine::nextLine (int timeoutMs)
{
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (pending.isEmpty())
    {
        auto now = juce::Time::getMillisecondCounter();

        if (now >= deadline || (! readAvailable ((int) juce::jmin<juce::uint32> (100, deadline - now)) && channel < 0))
            return std::nullopt;
    }

    auto line = pending[0];
    pending.remove (0);
    return line;
}

std::optional<juce::String> SimulatedMachine::ask (juce::String const& command, int timeoutMs)
{
    auto const word = command.upToFirstOccurrenceOf (" ", false, false);
    auto line = (command + "\n").toStdString();

    if (channel < 0 || ::write (channel, line.data(), line.size()) != (ssize_t) line.size())
    {
        lastFailure = name + ": the machine has gone (" + command + ")";
        return std::nullopt;
    }

    auto answer = nextLine (timeoutMs);

    if (answer && (*answer == "ok " + word || answer->startsWith ("ok " + word + " ")))
        return answer->fromFirstOccurrenceOf ("ok " + word, false, false).trimStart();

    lastFailure = name + ": " + command.substring (0, 80) + ": " + answer.value_or ("no answer");

    // A late answer would be taken for the next command's: this machine is of no more use.
    if (! answer)
    {
        ::close (channel);
        channel = -1;
    }

    return std::nullopt;
}

//==============================================================================
void SimulatedMachine::writeSettings (int clusterID, juce::XmlElement const* layouts)
{
    auto options = SingletonApplicationProperties::makeOptions();
    auto file = base.getChildFile ("home/.config/Corvelline/Corvelline.settings");
    file.getParentDirectory().createDirectory();
    file.deleteFile();
    juce::PropertiesFile settings (file, options);

    if (clusterID >= 0)
        settings.setValue ("clusterID", clusterID);

    if (layouts != nullptr)
        settings.setValue ("LAYOUTS", layouts);

    settings.saveIfNeeded();
}

int SimulatedMachine::start()
{
    auto pid = ask ("start");
    launches += pid ? 1 : 0;
    programPid = pid ? pid->getIntValue() : -1;
    return programPid;
}

int SimulatedMachine::startAt (juce::int64 micros)
{
    auto pid = ask ("start " + juce::String (micros));
    launches += pid ? 1 : 0;
    programPid = pid ? pid->getIntValue() : -1;
    startedAt = pid ? pid->fromFirstOccurrenceOf (" ", false, false).getLargeIntValue() : 0;
    return programPid;
}

std::optional<int> SimulatedMachine::waitForExit (int timeoutMs)
{
    auto code = ask ("wait " + juce::String (programPid) + " " + juce::String (timeoutMs), timeoutMs + 5000);
    return code ? std::optional<int> (code->getIntValue()) : std::nullopt;
}

void SimulatedMachine::kill()
{
    if (run ("signal " + juce::String (programPid) + " " + juce::String (SIGKILL)))
        waitForExit (5000);
}

bool SimulatedMachine::isRunning()
{
    return programPid > 0 && ask ("exited " + juce::String (programPid)) == juce::String ("running");
}

juce::File SimulatedMachine::getLogFile() const { return base.getChildFile ("home/.config/Corvelline/CorvellineLog.txt"); }

juce::String SimulatedMachine::readLog() const { return getLogFile().loadFileAsString(); }

bool SimulatedMachine::waitForLog (juce::String const& text, int timeoutMs, int from) const
{
    return TestEnvironment::waitUntil ([&] { return readLog().indexOf (from, text) >= 0; }, timeoutMs);
}

bool SimulatedMachine::waitForLogSince (juce::String const& text, juce::String const& since, int timeoutMs) const
{
    return TestEnvironment::waitUntil ([&]
    {
        juce::StringArray lines;
        lines.addLines (readLog());

        for (int i = lines.size(); --i >= 0;)
        {
            if (lines[i].substring (0, since.length()) < since && lines[i].startsWith ("20"))
                return false;

            if (lines[i].contains (text))
                return true;
        }

        return false;
    }, timeoutMs);
}

//==============================================================================
bool SimulatedMachine::moveTo (juce::Point<int> p) { return run ("move " + juce::String (p.x) + " " + juce::String (p.y)); }
bool SimulatedMachine::moveBy (int dx, int dy)     { return run ("rmove " + juce::String (dx) + " " + juce::String (dy)); }
bool SimulatedMachine::key (int code, bool down)   { return run ("key " + juce::String (code) + (down ? " 1" : " 0")); }
bool SimulatedMachine::tap (int code)              { return key (code, true) && key (code, false); }
bool SimulatedMachine::button (int n, bool down)   { return run ("button " + juce::String (n) + (down ? " 1" : " 0")); }
bool SimulatedMachine::click (int n)               { return button (n, true) && button (n, false); }
bool SimulatedMachine::clickAt (juce::Point<int> p) { return run ("clickat " + juce::String (p.x) + " " + juce::String (p.y)); }

std::optional<juce::Point<int>> SimulatedMachine::pointer()
{
    auto text = ask ("pointer");

    if (! text)
        return std::nullopt;

    auto parts = juce::StringArray::fromTokens (*text, " ", {});
    return juce::Point<int> (parts[0].getIntValue(), parts[1].getIntValue());
}

std::vector<SimulatedMachine::ProbeEvent> SimulatedMachine::takeEvents()
{
    std::vector<ProbeEvent> events;

    for (auto const& item : juce::StringArray::fromTokens (ask ("events").value_or (""), " ", {}))
    {
        ProbeEvent e;
        e.kind = (char) item[0];
        auto numbers = item.substring (1).upToFirstOccurrenceOf ("@", false, false);
        e.a = numbers.upToFirstOccurrenceOf (e.kind == 'M' ? "," : "/", false, false).getIntValue();
        e.b = numbers.fromFirstOccurrenceOf (e.kind == 'M' ? "," : "/", false, false).getIntValue();
        e.micros = item.fromFirstOccurrenceOf ("@", false, false).getLargeIntValue();
        events.push_back (e);
    }

    return events;
}

juce::String SimulatedMachine::takeInput()
{
    juce::StringArray texts;

    for (auto const& e : takeEvents())
        if (e.kind != 'M')
            texts.add (juce::String::charToString ((juce::juce_wchar) e.kind) + juce::String (e.a) + "/" + juce::String (e.b));

    return texts.joinIntoString (" ");
}

std::vector<SimulatedMachine::Window> SimulatedMachine::windows()
{
    std::vector<Window> result;

    for (auto const& item : juce::StringArray::fromTokens (ask ("windows").value_or (""), "\t", {}))
    {
        auto parts = juce::StringArray::fromTokens (item, ",", {});
        auto title = item;

        for (int i = 0; i < 4; ++i)
            title = title.fromFirstOccurrenceOf (",", false, false);

        if (parts.size() >= 4)
            result.push_back ({ { parts[0].getIntValue(), parts[1].getIntValue(), parts[2].getIntValue(), parts[3].getIntValue() }, title });
    }

    return result;
}

std::optional<SimulatedMachine::Window> SimulatedMachine::findWindow (juce::String const& windowName)
{
    for (auto const& w : windows())
        if (w.name == windowName)
            return w;

    return std::nullopt;
}

bool SimulatedMachine::waitForWindow (juce::String const& windowName, int timeoutMs)
{
    return TestEnvironment::waitUntil ([&] { return findWindow (windowName).has_value(); }, timeoutMs);
}

bool SimulatedMachine::offerText (juce::String const& text)
{
    auto utf8 = text.toStdString();
    return run ("own-text " + juce::String::toHexString (utf8.data(), (int) utf8.size(), 0));
}

bool SimulatedMachine::offerFiles (juce::Array<juce::File> const& files)
{
    juce::StringArray paths;

    for (auto const& f : files)
        paths.add (f.getFullPathName());

    return run ("own-files " + paths.joinIntoString ("|"));
}

std::optional<juce::MemoryBlock> SimulatedMachine::readClipboard (juce::String const& target)
{
    auto text = ask ("clip " + target, 15000);

    if (! text)
        return std::nullopt;

    juce::MemoryBlock bytes;
    bytes.loadFromHexString (*text);
    return bytes;
}

bool SimulatedMachine::screenshot (juce::File const& png)
{
    // The machine sees its base folder, but not always the test's output
    // folder (below /tmp its own /tmp hides it): the shot is taken there first.
    auto const taken = base.getChildFile ("shot.png");

    return run ("shot " + taken.getFullPathName())
        && png.getParentDirectory().createDirectory()
        && taken.moveFileTo (png);
}

//==============================================================================
SimulatedCluster::SimulatedCluster()
{
    ::signal (SIGPIPE, SIG_IGN);   // a machine that has ended must not end the test with it
}

SimulatedCluster::~SimulatedCluster()
{
    machines.clear();

    if (hubMade)
        TestEnvironment::runIp (juce::String ("link del ") + hubName);
}

SimulatedMachine* SimulatedCluster::add (juce::String const& name, juce::String const& address, int width, int height)
{
    if (! TestEnvironment::inPrivateNetworkNamespace())
    {
        std::fprintf (stderr, "refusing to start machines outside a test network namespace\n");
        return nullptr;
    }

    auto base = TestEnvironment::getTemp().getParentDirectory().getChildFile ("machine-" + name);
    base.deleteRecursively();
    machines.push_back (std::unique_ptr<SimulatedMachine> (new SimulatedMachine (name, address, width, height, base)));
    auto& m = *machines.back();
    int ends[2];

    if (! base.getChildFile ("home").createDirectory() || ! base.getChildFile ("tmp").createDirectory()
        || ::socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return nullptr;

    std::string program = CORVELLINE_E2E_MACHINE, folder = base.getFullPathName().toStdString(),
                size = (juce::String (width) + "x" + juce::String (height)).toStdString(), target = CORVELLINE_PROGRAM;
    char* argv[] = { program.data(), folder.data(), size.data(), target.data(), nullptr };

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_adddup2 (&actions, ends[1], 0);
    posix_spawn_file_actions_adddup2 (&actions, ends[1], 1);

    if (posix_spawn (&m.agent, program.c_str(), &actions, nullptr, argv, environ) != 0)
        m.agent = -1;

    posix_spawn_file_actions_destroy (&actions);
    ::close (ends[1]);
    m.channel = ends[0];

    // Its end of a veth pair goes into the machine's namespace as eth0; the
    // other end joins the hub.
    auto const link = "e2e" + name;

    if (! hubMade)
        hubMade = TestEnvironment::runIp (juce::String ("link add ") + hubName + " type bridge")
               && TestEnvironment::runIp (juce::String ("link set ") + hubName + " up");

    auto ready = m.nextLine (20000);
    bool const ok = ready && ready->startsWith ("ok ready");
    m.lastFailure = ready.value_or ("no answer");

    if (! ok || ! hubMade
        || ! TestEnvironment::runIp ("link add " + link + " type veth peer name eth0 netns " + juce::String (m.agent))
        || ! TestEnvironment::runIp ("link set " + link + " master " + hubName)
        || ! TestEnvironment::runIp ("link set " + link + " up")
        || ! m.run ("net " + address + "/24") || ! m.run ("probe") || ! m.run ("tray"))
    {
        std::fprintf (stderr, "machine %s did not start: %s\n", name.toRawUTF8(), m.lastFailure.toRawUTF8());
        return nullptr;
    }

    return &m;
}

juce::Array<juce::File> SimulatedCluster::programOutputs() const
{
    juce::Array<juce::File> files;

    for (auto const& m : machines)
        for (int i = 1; i <= m->launches; ++i)
            files.add (m->base.getChildFile ("program-" + juce::String (i) + ".out"));

    return files;
}

void SimulatedCluster::report (juce::File const& folder)
{
    folder.createDirectory();

    for (auto const& m : machines)
    {
        auto png = folder.getChildFile (m->name + ".png");

        if (m->screenshot (png))
            std::printf ("screenshot of %s: %s\n", m->name.toRawUTF8(), png.getFullPathName().toRawUTF8());

        juce::Array<juce::File> files { m->getLogFile() };

        for (int i = 1; i <= m->launches; ++i)
            files.add (m->base.getChildFile ("program-" + juce::String (i) + ".out"));

        for (auto const& file : files)
        {
            if (! file.existsAsFile())
                continue;

            auto copy = folder.getChildFile (m->name + "-" + file.getFileName());
            file.copyFileTo (copy);
            std::printf ("==== %s: %s (%s)\n%s\n", m->name.toRawUTF8(), file.getFileName().toRawUTF8(),
                         copy.getFullPathName().toRawUTF8(), file.loadFileAsString().toRawUTF8());
        }
    }

    std::fflush (stdout);
}

//==============================================================================
std::unique_ptr<juce::XmlElement> StoredLayout::toXml (std::vector<StoredLayout> const& layouts)
{
    auto all = std::make_unique<juce::XmlElement> ("LAYOUTS");

    for (auto const& layout : layouts)
    {
        auto* element = all->createNewChildElement ("LAYOUT");
        auto places = layout.places;

        // The server compares the machines in the order of their addresses' texts.
        std::sort (places.begin(), places.end(), [] (auto const& a, auto const& b) { return a.machine->address < b.machine->address; });

        for (auto const& place : places)
        {
            auto* machine = element->createNewChildElement ("MACHINE");
            machine->setAttribute ("IP", place.machine->address);
            machine->setAttribute ("OS", "MAC");
            machine->setAttribute ("x", place.x);
            machine->setAttribute ("y", place.y);
            machine->setAttribute ("width", place.machine->width);
            machine->setAttribute ("height", place.machine->height);
        }

        element->setAttribute ("contentComponent_width", layout.contentWidth);
        element->setAttribute ("contentComponent_height", layout.contentHeight);
    }

    return all;
}
