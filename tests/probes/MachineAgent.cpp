// One simulated machine for the whole-program tests (tests/e2e): a process
// that makes a network namespace and a mount namespace of its own (private
// /tmp and /var/tmp), starts the machine's own Xvfb, and then does, inside
// those namespaces, what the test asks on its standard input: it starts and
// ends the program, injects input through XTest (which the program counts as
// physical), keeps a focused probe window that records the keys, clicks and
// pointer positions arriving on the display, owns and reads the clipboard,
// lists the windows on the screen and takes screenshots.
//
//   corvelline_e2e_machine BASE WIDTHxHEIGHT PROGRAM
//
// BASE holds home/ and tmp/ (the machine's HOME and TMPDIR) and stays visible
// at the same path inside the machine. Each command gets one line in reply:
// "ok <command> [result]" or "fail <command> <reason>". Times are microseconds
// of CLOCK_MONOTONIC, which every process of the computer shares.
//
//   net ADDR/PREFIX           address eth0, bring it up, route everything through it
//   noroute                   take eth0's route and address away: broadcasts fail ("Network is unreachable")
//   bare                      restart the display as a bare X server, one that resets whenever
//                             its last client leaves (no -noreset), and keep no client of this
//                             machine's own on it: no probe, tray or queries. Only net, noroute,
//                             start, exited, wait and signal work from then on
//   probe                     map the probe window over the whole screen and focus it
//   focus                     give the probe window the keyboard focus again
//   tray                      run a system tray (a strip at the top right), unless one runs
//   notray                    end that tray
//   trayer [stop]             start Debian's trayer (top right), ending one started before; or only end it
//   icon                      "ok icon X Y W H": the program's icon docked in a tray (a window named
//                             "Corvelline" below a top-level window), in root coordinates
//   start                     start the program: "ok start PID"
//   start AT                  start it once CLOCK_MONOTONIC reaches AT (microseconds): "ok start PID T",
//                             T the time it was started at
//   exited PID                "ok exited CODE" once it ended, else "ok exited running"
//   wait PID MS               waits until it ends: "ok wait CODE" (or "fail wait running")
//   signal PID SIG            sends a signal to a program this machine started
//   move X Y | rmove DX DY    absolute or relative pointer motion
//   key CODE 0|1              X keycode up or down
//   button N 0|1              pointer button up or down
//   clickat X Y               moves there from elsewhere, rests, clicks button 1
//   pointer                   "ok pointer X Y"
//   events                    what reached the probe window since last asked:
//                             K<code>/<state>@t (press), k.. (release), B/b (buttons),
//                             M<x>,<y>@t (motion); blank-separated
//   windows                   mapped top-level windows: x,y,w,h,name separated by tabs
//   traymenu N                clicks the program's icon in the tray, then entry N of the menu opened
//   own-text HEX              owns CLIPBOARD with this UTF-8 text
//   own-files PATH|PATH..     owns CLIPBOARD offering exactly TARGETS and text/uri-list
//   clip TARGET               reads CLIPBOARD as TARGET with xclip: "ok clip HEX"
//   shot PATH                 writes a PNG of the whole screen
//   pressed                   keys and buttons held down: "ok pressed [K<code>..] [B<n>..]"
//   stream moves N US DX DY T injects N relative moves, one every US (0: a burst), on a
//                             thread of its own, turning back after every T moves (0: never);
//   stream keys N US CODE     or N presses and releases of a key, each held US / 2
//   stream-result             waits for the stream: "ok stream-result t1 t2 ..."

#include "support/TrayStrip.h"
#include "support/X11Probe.h"

#include <juce_graphics/juce_graphics.h>

#include <mutex>
#include <optional>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
juce::int64 nowMicros()
{
    timespec t {};
    clock_gettime (CLOCK_MONOTONIC, &t);
    return (juce::int64) t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

void reply (juce::String const& line)
{
    std::cout << line.replaceCharacters ("\r\n", "  ") << std::endl;
}

bool isBelow (juce::String const& path, juce::String const& folder)
{
    return path == folder || path.startsWith (folder + "/");
}

// Makes the namespaces before any thread exists (a process with threads cannot
// take a mount namespace of its own). Folders below /tmp or /var/tmp that the
// machine must still see (its base, the program's folder) are bound back in
// at the same paths.
bool enterNamespaces (juce::StringArray const& keep)
{
    if (unshare (CLONE_NEWNET | CLONE_NEWNS) != 0 || mount ("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;

    std::vector<std::pair<int, juce::String>> kept;

    for (auto const& path : keep)
        if (isBelow (path, "/tmp") || isBelow (path, "/var/tmp"))
            kept.push_back ({ open (path.toRawUTF8(), O_PATH | O_DIRECTORY | O_CLOEXEC), path });

    for (auto* folder : { "/tmp", "/var/tmp" })
        if (mount ("tmpfs", folder, "tmpfs", 0, "mode=1777") != 0)
            return false;

    // Every machine's X server is :0 and compiles its keymap into
    // /var/lib/xkb/server-0.xkm: that folder is the machine's own too.
    if (juce::File ("/var/lib/xkb").isDirectory() && mount ("tmpfs", "/var/lib/xkb", "tmpfs", 0, "mode=0755") != 0)
        return false;

    for (auto const& [fd, path] : kept)
    {
        auto source = "/proc/self/fd/" + juce::String (fd);

        if (fd < 0 || ! juce::File (path).createDirectory()
            || mount (source.toRawUTF8(), path.toRawUTF8(), nullptr, MS_BIND, nullptr) != 0)
            return false;

        close (fd);
    }

    return std::system ("ip link set lo up") == 0;
}

// Starts a program of this machine; it dies with the machine.
pid_t spawn (std::vector<std::string> argv, juce::String const& output)
{
    std::vector<char*> args;

    for (auto& a : argv)
        args.push_back (a.data());

    args.push_back (nullptr);
    auto out = output.toStdString();
    const pid_t pid = fork();

    if (pid == 0)
    {
        prctl (PR_SET_PDEATHSIG, SIGKILL);
        const int in = open ("/dev/null", O_RDONLY);
        const int log = open (out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2 (in, 0);
        dup2 (log >= 0 ? log : in, 1);
        dup2 (log >= 0 ? log : in, 2);

        for (int fd = 3; fd < 1024; ++fd)   // nothing of the machine's own (X connections) leaks in
            close (fd);

        execvp (args[0], args.data());
        _exit (127);
    }

    return pid;
}

// Ends a child: asks, then insists after 3 s.
void end (pid_t pid)
{
    kill (pid, SIGTERM);

    for (int i = 0; i < 150; ++i, usleep (20000))
        if (waitpid (pid, nullptr, WNOHANG) == pid)
            return;

    kill (pid, SIGKILL);
    waitpid (pid, nullptr, 0);
}

xcb_atom_t intern (xcb_connection_t* c, const char* name)
{
    auto* r = xcb_intern_atom_reply (c, xcb_intern_atom (c, 0, (uint16_t) std::strlen (name), name), nullptr);
    const xcb_atom_t atom = r != nullptr ? r->atom : (xcb_atom_t) XCB_ATOM_NONE;
    std::free (r);
    return atom;
}

void sync (xcb_connection_t* c)
{
    std::free (xcb_get_input_focus_reply (c, xcb_get_input_focus (c), nullptr));
}

std::string unhex (juce::String const& text)
{
    juce::MemoryBlock block;
    block.loadFromHexString (text);
    return std::string ((const char*) block.getData(), block.getSize());
}

//==============================================================================
class Machine
{
public:
    Machine (juce::File baseFolder, int w, int h, juce::String programPath)
        : base (baseFolder), width (w), height (h), program (programPath) {}

    ~Machine()
    {
        if (streamThread.joinable())
            streamThread.join();

        tray.reset();

        if (trayer > 0)
            end (trayer);

        // The programs end at once (a test that wants a clean end asks for it before).
        for (auto& [pid, status] : programs)
        {
            if (status < 0)
            {
                kill (pid, SIGKILL);
                waitpid (pid, nullptr, 0);
            }
        }

        probe.reset();

        if (input != nullptr)
            xcb_disconnect (input);

        if (xvfb > 0)
            end (xvfb);
    }

    bool startDisplay()
    {
        auto size = juce::String (width) + "x" + juce::String (height) + "x24";
        xvfb = spawn ({ "Xvfb", ":0", "-noreset", "-nolisten", "tcp", "-screen", "0", size.toStdString() },
                      base.getChildFile ("xvfb.log").getFullPathName());

        for (auto deadline = nowMicros() + 15000000; nowMicros() < deadline; usleep (20000))
        {
            if (waitpid (xvfb, nullptr, WNOHANG) == xvfb)
            {
                xvfb = -1;
                return false;
            }

            auto* c = xcb_connect (":0", nullptr);

            if (xcb_connection_has_error (c) == 0)
            {
                input = c;
                root = xcb_setup_roots_iterator (xcb_get_setup (c)).data->root;
                probe = std::make_unique<X11Probe> (":0");
                return probe->isOk() && setUpOwner();
            }

            xcb_disconnect (c);
        }

        return false;
    }

    void handle (juce::String const& line)
    {
        auto words = juce::StringArray::fromTokens (line, " ", {});
        auto const command = words[0];
        auto result = run (command, words, line.fromFirstOccurrenceOf (" ", false, false));
        reply ((result.startsWith ("!") ? "fail " + command + " " + result.substring (1) : "ok " + command + (result.isEmpty() ? "" : " " + result)));
    }

    // The descriptors the main loop waits on besides its input.
    std::vector<int> descriptors() const
    {
        return { input != nullptr ? xcb_get_file_descriptor (input) : -1, probe != nullptr ? probe->getFileDescriptor() : -1 };
    }

    void pump()
    {
        if (probe != nullptr)
            probe->pump();

        if (input != nullptr)
            pumpOwner();
    }

private:
    juce::File base;
    int width, height;
    juce::String program;
    pid_t xvfb = -1;
    xcb_connection_t* input = nullptr;           // queries, the clipboard owner
    std::unique_ptr<X11Probe> probe;             // the probe window, XTest
    xcb_window_t root = 0, ownerWindow = 0;
    std::map<pid_t, int> programs;               // exit status, -1 while running
    std::unique_ptr<TrayStrip> tray;
    pid_t trayer = -1;
    int launches = 0;

    xcb_atom_t clipboard = 0, targets = 0, timestamp = 0, utf8 = 0, uriList = 0, textAtom = 0, plain = 0, plainUtf8 = 0, netWmName = 0;
    xcb_timestamp_t ownedSince = 0;
    std::string offered;
    bool offeringFiles = false;

    std::thread streamThread;
    std::vector<juce::int64> streamTimes;
    std::atomic<bool> streamOk { true }, streamDone { true };

    //==============================================================================
    juce::String run (juce::String const& command, juce::StringArray const& w, juce::String const& rest)
    {
        if (input == nullptr && ! juce::StringArray { "net", "noroute", "start", "exited", "wait", "signal" }.contains (command))
            return "!the display is bare";

        if (command == "net")
        {
            auto const ok = std::system (("ip addr add " + w[1] + " dev eth0 && ip link set eth0 up && ip route add default dev eth0")
                                             .toRawUTF8()) == 0;
            return ok ? "" : "!ip";
        }

        if (command == "noroute")
            return std::system ("ip route del default dev eth0 && ip addr flush dev eth0") == 0 ? "" : "!ip";

        if (command == "bare")
            return startBareDisplay() ? "" : "!the bare X server did not start";

        if (command == "probe")
            return probe->showWindow (true) ? "" : "!no focus";

        if (command == "focus")
            return probe->focus() ? "" : "!no focus";

        if (command == "tray")
        {
            if (tray == nullptr || ! tray->isRunning())
            {
                tray.reset();
                tray = std::make_unique<TrayStrip>();
            }

            return tray->isRunning() ? "" : "!no tray";
        }

        if (command == "notray")
        {
            tray.reset();
            return {};
        }

        if (command == "trayer")
        {
            if (trayer > 0)
                end (trayer);

            trayer = -1;

            if (w[1] == "stop")
                return {};

            trayer = spawn ({ "trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28" },
                            base.getChildFile ("trayer.log").getFullPathName());

            // It serves once it owns the tray selection.
            for (auto deadline = nowMicros() + 20000000; nowMicros() < deadline; usleep (20000))
            {
                auto* owner = xcb_get_selection_owner_reply (input, xcb_get_selection_owner (input, intern (input, "_NET_SYSTEM_TRAY_S0")),
                                                             nullptr);
                auto const serving = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
                std::free (owner);

                if (serving)
                    return juce::String (trayer);
            }

            return "!trayer took no tray selection";
        }

        if (command == "icon")
        {
            auto const icon = findIcon();
            return icon ? icon->toString() : "!no icon in a tray";
        }

        if (command == "start")
        {
            auto output = base.getChildFile ("program-" + juce::String (++launches) + ".out").getFullPathName();
            auto const at = w[1].getLargeIntValue();

            // Asleep until the last 2 ms, then awake to the microsecond.
            if (at - 2000 > nowMicros())
                usleep ((useconds_t) (at - 2000 - nowMicros()));

            while (nowMicros() < at) {}

            auto const started = nowMicros();
            auto pid = spawn ({ program.toStdString() }, output);
            programs[pid] = -1;
            return juce::String (pid) + (at > 0 ? " " + juce::String (started) : juce::String());
        }

        if (command == "exited" || command == "wait")
        {
            const pid_t pid = w[1].getIntValue();

            if (programs.count (pid) == 0)
                return "!unknown";

            for (auto deadline = nowMicros() + (command == "wait" ? w[2].getLargeIntValue() * 1000 : 0);; usleep (10000))
            {
                reap (pid);

                if (programs[pid] >= 0)
                    return juce::String (programs[pid]);

                if (nowMicros() >= deadline)
                    return command == "wait" ? "!running" : "running";
            }
        }

        if (command == "signal")
        {
            const pid_t pid = w[1].getIntValue();
            return programs.count (pid) != 0 && programs[pid] < 0 && kill (pid, w[2].getIntValue()) == 0 ? "" : "!not running";
        }

        if (command == "move" || command == "rmove")
        {
            const juce::Point<int> p (w[1].getIntValue(), w[2].getIntValue());
            command == "move" ? probe->moveTo (p) : probe->moveBy (p);
            return {};
        }

        if (command == "key" || command == "button")
        {
            command == "key" ? probe->key (w[1].getIntValue(), w[2].getIntValue() != 0) : probe->button (w[1].getIntValue(), w[2].getIntValue() != 0);
            return {};
        }

        if (command == "clickat")
        {
            clickAt (w[1].getIntValue(), w[2].getIntValue());
            return {};
        }

        if (command == "pointer")
            return juce::String (probe->getPointer().x) + " " + juce::String (probe->getPointer().y);

        if (command == "pressed")
        {
            juce::StringArray held;
            auto* keys = xcb_query_keymap_reply (input, xcb_query_keymap (input), nullptr);

            for (int code = 0; keys != nullptr && code < 256; ++code)
                if ((keys->keys[code / 8] >> (code % 8)) & 1)
                    held.add ("K" + juce::String (code));

            std::free (keys);
            auto* p = xcb_query_pointer_reply (input, xcb_query_pointer (input, root), nullptr);

            for (int button = 1; p != nullptr && button <= 5; ++button)
                if ((p->mask & (XCB_BUTTON_MASK_1 << (button - 1))) != 0)
                    held.add ("B" + juce::String (button));

            std::free (p);
            return held.joinIntoString (" ");
        }

        if (command == "events")
        {
            juce::StringArray texts;

            for (auto const& e : probe->takeNow())
                texts.add (X11Probe::describe ({ e }) + "@" + juce::String (e.micros));

            return texts.joinIntoString (" ");
        }

        if (command == "windows")
        {
            juce::StringArray texts;

            for (auto const& shown : listWindows())
                texts.add (shown.first.toString().replaceCharacter (' ', ',') + "," + shown.second);

            return texts.joinIntoString ("\t");
        }

        if (command == "traymenu")
            return pickTrayEntry (w[1].getIntValue());

        if (command == "own-text" || command == "own-files")
        {
            offeringFiles = command == "own-files";

            if (offeringFiles)
            {
                juce::StringArray uris;

                for (auto const& path : juce::StringArray::fromTokens (rest, "|", {}))
                    uris.add (juce::URL (juce::File (path)).toString (false));

                offered = uris.joinIntoString ("\r\n").toStdString() + "\r\n";
            }
            else
            {
                offered = unhex (rest);
            }

            return takeClipboard() ? "" : "!not owner";
        }

        if (command == "clip")
            return readClipboard (w[1]);

        if (command == "shot")
            return screenshot (juce::File (rest)) ? "" : "!no image";

        if (command == "stream")
        {
            if (streamThread.joinable())
                streamThread.join();

            streamTimes.clear();
            streamOk = true;
            streamDone = false;
            streamThread = std::thread ([this, w] { stream (w); });
            return {};
        }

        if (command == "stream-result")
        {
            // The probe goes on recording, with its times, until the stream ends.
            while (! streamDone)
            {
                std::vector<pollfd> fds;

                for (int fd : descriptors())
                    fds.push_back ({ fd, POLLIN, 0 });

                poll (fds.data(), fds.size(), 5);
                pump();
            }

            if (streamThread.joinable())
                streamThread.join();

            juce::StringArray texts;

            for (auto t : streamTimes)
                texts.add (juce::String (t));

            return streamOk ? texts.joinIntoString (" ") : "!no connection";
        }

        return "!unknown command";
    }

    void reap (pid_t pid)
    {
        int status = 0;

        if (programs.count (pid) != 0 && programs[pid] < 0 && waitpid (pid, &status, WNOHANG) == pid)
            programs[pid] = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
    }

    // A display as a session without window manager or panel has it: the
    // server resets when its last client leaves. It is ready once a client
    // has connected, and gone again (the server then resets, as after a
    // greeter that ended).
    bool startBareDisplay()
    {
        tray.reset();

        if (trayer > 0)
            end (trayer);

        trayer = -1;
        probe.reset();
        xcb_disconnect (input);
        input = nullptr;
        end (xvfb);

        auto size = juce::String (width) + "x" + juce::String (height) + "x24";
        xvfb = spawn ({ "Xvfb", ":0", "-nolisten", "tcp", "-screen", "0", size.toStdString() },
                      base.getChildFile ("xvfb.log").getFullPathName());

        for (auto deadline = nowMicros() + 15000000; nowMicros() < deadline && waitpid (xvfb, nullptr, WNOHANG) != xvfb; usleep (20000))
        {
            auto* c = xcb_connect (":0", nullptr);
            auto const answered = xcb_connection_has_error (c) == 0;
            xcb_disconnect (c);

            if (answered)
                return true;
        }

        return false;
    }

    //==============================================================================
    void clickAt (int x, int y)
    {
        // From elsewhere, so that the window there sees the pointer enter; a
        // rest, so that it takes the pointer as settled.
        probe->moveTo ({ juce::jmax (1, x - 60), juce::jmin (height - 2, y + 120) });
        usleep (100000);
        probe->moveTo ({ x, y });
        usleep (300000);
        probe->button (1, true);
        probe->button (1, false);
    }

    juce::String windowName (xcb_window_t window)
    {
        for (auto [atom, type] : { std::pair<xcb_atom_t, xcb_atom_t> { netWmName, utf8 },
                                   { XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY } })
        {
            auto* r = xcb_get_property_reply (input, xcb_get_property (input, 0, window, atom, type, 0, 256), nullptr);
            juce::String name;

            if (r != nullptr && r->format == 8)
                name = juce::String::fromUTF8 ((const char*) xcb_get_property_value (r), xcb_get_property_value_length (r));

            std::free (r);

            if (name.isNotEmpty())
                return name.replaceCharacters ("\t", " ");
        }

        return {};
    }

    struct Shown
    {
        juce::Rectangle<int> first;
        juce::String second;
        bool temporary;   // override-redirect, as pop-up menus are
    };

    struct Child
    {
        xcb_window_t window;
        juce::Rectangle<int> bounds;   // in its parent
        bool temporary;                // override-redirect
    };

    // The viewable children of a window, bottom to top.
    std::vector<Child> viewableChildren (xcb_window_t parent)
    {
        std::vector<Child> result;
        auto* tree = xcb_query_tree_reply (input, xcb_query_tree (input, parent), nullptr);

        for (int i = 0; tree != nullptr && i < xcb_query_tree_children_length (tree); ++i)
        {
            auto const child = xcb_query_tree_children (tree)[i];
            auto* attributes = xcb_get_window_attributes_reply (input, xcb_get_window_attributes (input, child), nullptr);
            auto* geometry = xcb_get_geometry_reply (input, xcb_get_geometry (input, child), nullptr);

            if (attributes != nullptr && geometry != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                result.push_back ({ child, { geometry->x, geometry->y, geometry->width, geometry->height }, attributes->override_redirect != 0 });

            std::free (attributes);
            std::free (geometry);
        }

        std::free (tree);
        return result;
    }

    std::vector<Shown> listWindows()
    {
        std::vector<Shown> result;

        for (auto const& child : viewableChildren (root))
            if (child.window != probe->getWindow())
                result.push_back ({ child.bounds, windowName (child.window), child.temporary });

        return result;   // bottom to top
    }

    // The program's icon in a tray: a viewable window named "Corvelline" inside
    // a top-level window (the tray's), in root coordinates.
    std::optional<juce::Rectangle<int>> findIcon (xcb_window_t parent = 0, int depth = 0)
    {
        if (depth >= 6)
            return std::nullopt;

        for (auto const& child : viewableChildren (parent != 0 ? parent : root))
        {
            if (depth > 0 && windowName (child.window) == "Corvelline")
            {
                auto* place = xcb_translate_coordinates_reply (input, xcb_translate_coordinates (input, child.window, root, 0, 0), nullptr);
                auto const found = place != nullptr ? std::optional (child.bounds.withPosition (place->dst_x, place->dst_y)) : std::nullopt;
                std::free (place);
                return found;
            }

            if (auto found = findIcon (child.window, depth + 1))
                return found;
        }

        return std::nullopt;
    }

    // A click on the tray's icon opens a menu: the one pop-up (override-redirect)
    // window that was not there before. Its entries share its height equally.
    juce::String pickTrayEntry (int entry)
    {
        auto icon = findIcon();

        for (auto deadline = nowMicros() + 5000000; ! icon && nowMicros() < deadline; usleep (100000))
            icon = findIcon();

        if (! icon)
            return "!no icon in a tray";

        auto before = listWindows();
        auto isNew = [&before] (Shown const& w)
        {
            return std::none_of (before.begin(), before.end(), [&w] (auto const& b) { return b.first == w.first; });
        };

        auto const menu = [&]() -> std::optional<juce::Rectangle<int>>
        {
            for (auto const& w : listWindows())
                if (isNew (w) && w.temporary && w.first.getHeight() > 10)
                    return w.first;

            return std::nullopt;
        };

        for (int attempt = 0; attempt < 3; ++attempt)
        {
            if (! menu())
                clickAt (icon->getCentreX(), icon->getCentreY());

            // The menu settles in its place first; the entry is clicked until the menu goes.
            // A click on the icon toggles the menu: a sanitizer build under load can take
            // seconds to open it or to take a click, and a click too many closes it again.
            std::optional<juce::Rectangle<int>> seen;

            for (auto deadline = nowMicros() + 6000000; nowMicros() < deadline; usleep (100000))
            {
                auto const now = menu();

                if (now && seen == now)
                {
                    clickAt (now->getCentreX(), now->getY() + now->getHeight() * (1 + 2 * entry) / 4);

                    for (auto gone = nowMicros() + 3000000; nowMicros() < gone; usleep (100000))
                        if (! menu())
                            return {};
                }

                seen = now;
            }
        }

        return "!no menu opened";
    }

    //==============================================================================
    bool setUpOwner()
    {
        clipboard = intern (input, "CLIPBOARD");
        targets = intern (input, "TARGETS");
        timestamp = intern (input, "TIMESTAMP");
        utf8 = intern (input, "UTF8_STRING");
        uriList = intern (input, "text/uri-list");
        textAtom = intern (input, "TEXT");
        plain = intern (input, "text/plain");
        plainUtf8 = intern (input, "text/plain;charset=utf-8");
        netWmName = intern (input, "_NET_WM_NAME");
        ownerWindow = xcb_generate_id (input);
        const uint32_t mask[] = { XCB_EVENT_MASK_PROPERTY_CHANGE };
        xcb_create_window (input, 0, ownerWindow, root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                           XCB_CW_EVENT_MASK, mask);
        sync (input);
        return true;
    }

    // A selection needs a real timestamp: a property change of our own brings one.
    bool takeClipboard()
    {
        xcb_change_property (input, XCB_PROP_MODE_APPEND, ownerWindow, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, nullptr);
        xcb_flush (input);
        ownedSince = 0;

        for (auto deadline = nowMicros() + 2000000; ownedSince == 0 && nowMicros() < deadline;)
        {
            pollfd p { xcb_get_file_descriptor (input), POLLIN, 0 };
            poll (&p, 1, 20);
            pumpOwner();
        }

        if (ownedSince == 0)
            return false;

        xcb_set_selection_owner (input, ownerWindow, clipboard, ownedSince);
        auto* r = xcb_get_selection_owner_reply (input, xcb_get_selection_owner (input, clipboard), nullptr);
        const bool owner = r != nullptr && r->owner == ownerWindow;
        std::free (r);
        return owner;
    }

    void pumpOwner()
    {
        while (auto* e = xcb_poll_for_event (input))
        {
            const int type = e->response_type & 0x7f;

            if (type == XCB_PROPERTY_NOTIFY && ownedSince == 0)
                ownedSince = reinterpret_cast<xcb_property_notify_event_t*> (e)->time;
            else if (type == XCB_SELECTION_REQUEST)
                answer (*reinterpret_cast<xcb_selection_request_event_t*> (e));

            std::free (e);
        }
    }

    void answer (xcb_selection_request_event_t const& request)
    {
        auto property = request.property != XCB_ATOM_NONE ? request.property : request.target;
        const auto target = request.target;
        bool served = true;

        if (target == targets)
        {
            std::vector<xcb_atom_t> list { targets, timestamp };

            if (offeringFiles)
                list.push_back (uriList);
            else
                list.insert (list.end(), { utf8, XCB_ATOM_STRING, textAtom, plain, plainUtf8 });

            xcb_change_property (input, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                                 (uint32_t) list.size(), list.data());
        }
        else if (target == timestamp)
        {
            xcb_change_property (input, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER, 32, 1, &ownedSince);
        }
        else if (offeringFiles ? target == uriList
                               : (target == utf8 || target == XCB_ATOM_STRING || target == textAtom || target == plain || target == plainUtf8))
        {
            xcb_change_property (input, XCB_PROP_MODE_REPLACE, request.requestor, property, target == textAtom ? utf8 : target, 8,
                                 (uint32_t) offered.size(), offered.data());
        }
        else
        {
            served = false;
        }

        xcb_selection_notify_event_t notify {};
        notify.response_type = XCB_SELECTION_NOTIFY;
        notify.time = request.time;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = target;
        notify.property = served ? property : (xcb_atom_t) XCB_ATOM_NONE;
        xcb_send_event (input, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*> (&notify));
        xcb_flush (input);
    }

    // Another X client reads the clipboard: xclip, bounded by 10 s.
    juce::String readClipboard (juce::String const& target)
    {
        auto output = base.getChildFile ("clip.out");
        output.deleteFile();
        const pid_t pid = spawn ({ "xclip", "-o", "-selection", "clipboard", "-t", target.toStdString() }, output.getFullPathName());
        int status = 0;

        for (auto deadline = nowMicros() + 10000000; waitpid (pid, &status, WNOHANG) != pid; usleep (5000))
        {
            pump();   // our own selection may be the one read

            if (nowMicros() > deadline)
            {
                kill (pid, SIGKILL);
                waitpid (pid, nullptr, 0);
                return "!xclip hung";
            }
        }

        juce::MemoryBlock bytes;
        output.loadFileAsData (bytes);
        return WIFEXITED (status) && WEXITSTATUS (status) == 0
                   ? juce::String::toHexString (bytes.getData(), (int) bytes.getSize(), 0)
                   : "!" + bytes.toString().trim();
    }

    //==============================================================================
    bool screenshot (juce::File const& file)
    {
        auto const image = probe->capture ({ width, height });

        if (! image.isValid())
            return false;

        file.deleteFile();
        juce::FileOutputStream stream (file);
        return stream.openedOk() && juce::PNGImageFormat().writeImageToStream (image, stream);
    }

    //==============================================================================
    // Runs on a thread and an X connection of its own, so that the probe keeps
    // recording (with its times) while the stream goes on.
    void stream (juce::StringArray const& w)
    {
        auto* c = xcb_connect (":0", nullptr);

        if (xcb_connection_has_error (c) != 0)
        {
            streamOk = false;
            streamDone = true;
            xcb_disconnect (c);
            return;
        }

        const bool keys = w[1] == "keys";
        const int count = w[2].getIntValue();
        const juce::int64 period = w[3].getLargeIntValue();
        timespec next {};
        clock_gettime (CLOCK_MONOTONIC, &next);

        for (int i = 0; i < count; ++i)
        {
            streamTimes.push_back (nowMicros());

            if (keys)
            {
                xcb_test_fake_input (c, XCB_KEY_PRESS, (uint8_t) w[4].getIntValue(), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
                xcb_flush (c);
                advance (next, period / 2);
                xcb_test_fake_input (c, XCB_KEY_RELEASE, (uint8_t) w[4].getIntValue(), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
                xcb_flush (c);
                advance (next, period - period / 2);
            }
            else
            {
                const int turn = w[6].getIntValue();
                const int sign = turn > 0 && (i / turn) % 2 == 1 ? -1 : 1;
                xcb_test_fake_input (c, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, (int16_t) (sign * w[4].getIntValue()),
                                     (int16_t) (sign * w[5].getIntValue()), 0);
                xcb_flush (c);
                advance (next, period);
            }
        }

        sync (c);
        xcb_disconnect (c);
        streamDone = true;
    }

    static void advance (timespec& next, juce::int64 micros)
    {
        if (micros <= 0)
            return;

        next.tv_nsec += (long) (micros % 1000000) * 1000;
        next.tv_sec += (time_t) (micros / 1000000) + next.tv_nsec / 1000000000;
        next.tv_nsec %= 1000000000;
        clock_nanosleep (CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
};
} // namespace

int main (int argc, char** argv)
{
    if (argc != 4)
    {
        reply ("fail ready usage: corvelline_e2e_machine BASE WIDTHxHEIGHT PROGRAM");
        return 2;
    }

    const juce::File base (argv[1]);
    const juce::File program (argv[3]);
    auto const size = juce::StringArray::fromTokens (argv[2], "x", {});

    // Ends with the test that started it, and everything it started ends with it.
    prctl (PR_SET_PDEATHSIG, SIGKILL);

    if (! enterNamespaces ({ base.getFullPathName(), program.getParentDirectory().getFullPathName() }))
    {
        reply ("fail ready namespaces: " + juce::String (std::strerror (errno)));
        return 1;
    }

    setenv ("HOME", base.getChildFile ("home").getFullPathName().toRawUTF8(), 1);
    setenv ("TMPDIR", base.getChildFile ("tmp").getFullPathName().toRawUTF8(), 1);
    setenv ("DISPLAY", ":0", 1);
    setenv ("TZ", ":/etc/localtime", 0);

    for (auto* name : { "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS" })
        unsetenv (name);

    signal (SIGPIPE, SIG_IGN);
    Machine machine (base, size[0].getIntValue(), size[1].getIntValue(), program.getFullPathName());

    if (! machine.startDisplay())
    {
        reply ("fail ready Xvfb did not start");
        return 1;
    }

    reply ("ok ready " + juce::String (getpid()));

    for (std::string pending;;)
    {
        std::vector<pollfd> fds { { 0, POLLIN, 0 } };

        for (int fd : machine.descriptors())
            fds.push_back ({ fd, POLLIN, 0 });

        poll (fds.data(), fds.size(), 100);
        machine.pump();

        if ((fds[0].revents & (POLLIN | POLLHUP)) == 0)
            continue;

        char chunk[4096];
        auto n = read (0, chunk, sizeof (chunk));

        if (n <= 0)
            break;

        pending.append (chunk, (size_t) n);

        for (auto end = pending.find ('\n'); end != std::string::npos; end = pending.find ('\n'))
        {
            auto line = juce::String::fromUTF8 (pending.data(), (int) end).trim();
            pending.erase (0, end + 1);

            if (line == "quit")
                return 0;

            if (line.isNotEmpty())
                machine.handle (line);
        }
    }

    return 0;
}
