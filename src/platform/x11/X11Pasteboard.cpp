// JUCE's X11 declarations (its display, its clipboard window) are needed here.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>

#include "platform/x11/X11Pasteboard.h"

#include "platform/x11/X11Connection.h"

#include "core/Logging.h"
#include "platform/FileUriList.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace juce
{
// The window through which JUCE owns and reads selections.
extern ::Window juce_messageWindowHandle;
} // namespace juce

namespace
{
constexpr int answerWaitMs = 1000;          // for an owner to answer one request
constexpr int readTotalMs = 4000;           // for a whole read, INCR chunks included
constexpr int callWaitMs = readTotalMs + 1000;
constexpr size_t maxReadBytes = 64u << 20;  // a file list larger than this is refused

template <typename Result>
Result onMessageThread (std::function<Result()> work, Result fallback, int timeoutMs)
{
    auto* manager = juce::MessageManager::getInstanceWithoutCreating();

    if (manager == nullptr)
        return fallback;

    if (manager->isThisTheMessageThread())
        return work();

    struct Call
    {
        juce::WaitableEvent done;
        Result result {};
    };

    auto call = std::make_shared<Call>();

    juce::MessageManager::callAsync ([call, work]
    {
        call->result = work();
        call->done.signal();
    });

    return call->done.wait (timeoutMs) ? call->result : fallback;
}

// The JUCE display, or null when JUCE has none. Message thread.
::Display* juceDisplay()
{
    auto* windowSystem = juce::XWindowSystem::getInstance();
    return windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;
}

std::string toBytes (juce::String const& text)
{
    return text.toStdString();
}
} // namespace

//==============================================================================
/** The CLIPBOARD owner for file lists. Only its thread touches its X
    connection; the other threads hand it jobs. */
class X11Pasteboard::SelectionOwner : private juce::Thread
{
public:
    explicit SelectionOwner (xcb_window_t juceWindowToKnow)
        : juce::Thread ("X11 pasteboard"), juceWindow (juceWindowToKnow)
    {
        connection = X11Connection::connect (nullptr, nullptr);

        if (xcb_connection_has_error (connection) != 0)
        {
            DBGOrLog ("Clipboard: cannot open the X display; files cannot be put on the clipboard");
            xcb_disconnect (connection);
            connection = nullptr;
            return;
        }

        auto* screen = xcb_setup_roots_iterator (xcb_get_setup (connection)).data;
        window = xcb_generate_id (connection);
        uint32_t const events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window (connection, XCB_COPY_FROM_PARENT, window, screen->root, -1, -1, 1, 1, 0,
                           XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);

        X11Connection::internAtoms (connection, { { "CLIPBOARD", &clipboard },
                                                  { "TARGETS", &targets },
                                                  { "TIMESTAMP", &timestamp },
                                                  { "UTF8_STRING", &utf8String },
                                                  { "text/uri-list", &uriList },
                                                  { "INCR", &incr },
                                                  { "CORVELLINE_SELECTION", &transfer },
                                                  { "CORVELLINE_TIMESTAMP", &stampSource } });

        wakeUp = eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK);
        startThread();
    }

    ~SelectionOwner() override
    {
        signalThreadShouldExit();
        wake();
        stopThread (4000);

        if (wakeUp >= 0)
            close (wakeUp);

        if (connection != nullptr)
            xcb_disconnect (connection);
    }

    bool isConnected() const { return connection != nullptr; }

    /** Runs a job on the owner's thread and waits for its result (the fallback
        when the thread does not answer in time). */
    template <typename Result>
    Result call (std::function<Result()> job, Result fallback)
    {
        if (connection == nullptr)
            return fallback;

        struct Call
        {
            juce::WaitableEvent done;
            Result result {};
        };

        auto state = std::make_shared<Call>();

        {
            std::lock_guard<std::mutex> guard (jobLock);
            jobs.push_back ([state, job] { state->result = job(); state->done.signal(); });
        }

        wake();
        return state->done.wait (callWaitMs) ? state->result : fallback;
    }

    // The jobs, run on the owner's thread.

    juce::StringArray readPaths()
    {
        auto holder = currentOwner (clipboard);

        if (holder == window)
            return owning ? paths : juce::StringArray();

        // Nobody, or JUCE holding text: JUCE offers no file list, and asking it
        // would wait for the message thread.
        if (holder == XCB_NONE || holder == juceWindow)
            return {};

        std::string bytes;

        if (! receive (uriList, bytes))
            return {};

        return FileUriList::paths (juce::String::fromUTF8 (bytes.data(), (int) bytes.size()));
    }

    bool offer (juce::StringArray const& newPaths)
    {
        if (owning && currentOwner (clipboard) == window)
        {
            paths.addArray (newPaths);
            return true;
        }

        auto stamp = fetchTimestamp();

        if (! stamp.has_value())
            return false;

        xcb_set_selection_owner (connection, window, clipboard, *stamp);

        if (currentOwner (clipboard) != window)
        {
            DBGOrLog ("Clipboard: could not take the clipboard");
            return false;
        }

        owning = true;
        ownedSince = *stamp;
        paths = newPaths;
        return true;
    }

    bool empty()
    {
        owning = false;
        paths.clear();
        xcb_set_selection_owner (connection, XCB_NONE, clipboard, XCB_CURRENT_TIME);

        // JUCE claims PRIMARY with every copy and reads it when CLIPBOARD has no
        // text: drop that claim too, but leave another program's selection alone.
        if (juceWindow != XCB_NONE && currentOwner (XCB_ATOM_PRIMARY) == juceWindow)
            xcb_set_selection_owner (connection, XCB_NONE, XCB_ATOM_PRIMARY, XCB_CURRENT_TIME);

        // Done when the server has done it: text that JUCE sets next goes
        // through another connection and must not be overtaken.
        sync();
        return true;
    }

private:
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = XCB_NONE;
    xcb_window_t const juceWindow;
    xcb_atom_t clipboard = XCB_NONE, targets = XCB_NONE, timestamp = XCB_NONE, utf8String = XCB_NONE,
               uriList = XCB_NONE, incr = XCB_NONE, transfer = XCB_NONE, stampSource = XCB_NONE;
    int wakeUp = -1;

    std::mutex jobLock;
    std::deque<std::function<void()>> jobs;

    // Owner's thread only.
    bool owning = false;
    xcb_timestamp_t ownedSince = XCB_CURRENT_TIME;
    juce::StringArray paths;

    struct PropertyChange
    {
        xcb_atom_t atom;
        uint8_t state;
        xcb_timestamp_t time;
    };

    std::vector<PropertyChange> propertyChanges;
    std::optional<xcb_selection_notify_event_t> selectionNotice;
    bool reportedBrokenConnection = false;

    void wake()
    {
        if (wakeUp >= 0)
        {
            uint64_t one = 1;
            [[maybe_unused]] auto written = ::write (wakeUp, &one, sizeof (one));
        }
    }

    bool broken()
    {
        if (xcb_connection_has_error (connection) == 0)
            return false;

        if (! reportedBrokenConnection)
            DBGOrLog ("Clipboard: the connection to the X display broke");

        reportedBrokenConnection = true;
        return true;
    }

    void sync()
    {
        std::free (xcb_get_input_focus_reply (connection, xcb_get_input_focus (connection), nullptr));
    }

    xcb_window_t currentOwner (xcb_atom_t selection)
    {
        auto* reply = xcb_get_selection_owner_reply (connection, xcb_get_selection_owner (connection, selection), nullptr);
        xcb_window_t holder = reply != nullptr ? reply->owner : XCB_NONE;
        std::free (reply);
        return holder;
    }

    void run() override
    {
        if (connection == nullptr)
            return;

        while (! threadShouldExit())
        {
            for (;;)
            {
                std::function<void()> job;

                {
                    std::lock_guard<std::mutex> guard (jobLock);

                    if (jobs.empty())
                        break;

                    job = std::move (jobs.front());
                    jobs.pop_front();
                }

                job();
            }

            dispatchPending();
            xcb_flush (connection);

            if (broken())
            {
                // Keep answering jobs (with nothing) until told to stop.
                pollfd wakeOnly { wakeUp, POLLIN, 0 };
                poll (&wakeOnly, 1, 100);
                drainWakeUp();
                continue;
            }

            pollfd fds[2] = { { xcb_get_file_descriptor (connection), POLLIN, 0 }, { wakeUp, POLLIN, 0 } };
            poll (fds, 2, 500);
            drainWakeUp();
        }
    }

    void drainWakeUp()
    {
        uint64_t count = 0;
        [[maybe_unused]] auto read = ::read (wakeUp, &count, sizeof (count));
    }

    void dispatchPending()
    {
        while (auto* event = xcb_poll_for_event (connection))
        {
            handle (*event);
            std::free (event);
        }
    }

    /** Dispatches events until 'done' holds or the time is up. */
    bool waitFor (std::function<bool()> const& done, juce::uint32 deadline)
    {
        for (;;)
        {
            dispatchPending();

            if (done())
                return true;

            auto now = juce::Time::getMillisecondCounter();

            if (broken() || threadShouldExit() || now >= deadline)
                return false;

            xcb_flush (connection);
            pollfd fd { xcb_get_file_descriptor (connection), POLLIN, 0 };
            poll (&fd, 1, (int) juce::jmin<juce::uint32> (deadline - now, 50));
        }
    }

    void handle (xcb_generic_event_t const& event)
    {
        switch (event.response_type & 0x7f)
        {
            case XCB_SELECTION_REQUEST:
                serve (reinterpret_cast<xcb_selection_request_event_t const&> (event));
                break;

            case XCB_SELECTION_CLEAR:
            {
                auto const& clear = reinterpret_cast<xcb_selection_clear_event_t const&> (event);

                if (clear.owner == window && clear.selection == clipboard)
                {
                    owning = false;
                    paths.clear();
                }

                break;
            }

            case XCB_PROPERTY_NOTIFY:
            {
                auto const& change = reinterpret_cast<xcb_property_notify_event_t const&> (event);

                if (change.window == window)
                    propertyChanges.push_back ({ change.atom, change.state, change.time });

                break;
            }

            case XCB_SELECTION_NOTIFY:
            {
                auto const& notice = reinterpret_cast<xcb_selection_notify_event_t const&> (event);

                if (notice.requestor == window)
                    selectionNotice = notice;

                break;
            }

            default:
                break; // errors (a requestor that went away) and the rest
        }
    }

    /** A server time for taking the selection: the time of a property change of
        our own. */
    std::optional<xcb_timestamp_t> fetchTimestamp()
    {
        propertyChanges.clear();
        xcb_change_property (connection, XCB_PROP_MODE_APPEND, window, stampSource, XCB_ATOM_STRING, 8, 0, nullptr);
        xcb_flush (connection);

        std::optional<xcb_timestamp_t> stamp;
        waitFor ([&]
                 {
                     for (auto& change : propertyChanges)
                         if (change.atom == stampSource)
                             stamp = change.time;

                     return stamp.has_value();
                 },
                 juce::Time::getMillisecondCounter() + answerWaitMs);

        if (! stamp.has_value())
            DBGOrLog ("Clipboard: the X server gave no time stamp");

        return stamp;
    }

    void serve (xcb_selection_request_event_t const& request)
    {
        // Old clients name no property: the target stands for it then.
        auto property = request.property != XCB_NONE ? request.property : request.target;
        bool served = false;

        bool current = owning && request.owner == window && request.selection == clipboard
                       && (request.time == XCB_CURRENT_TIME || request.time >= ownedSince);

        if (current)
        {
            if (request.target == targets)
            {
                xcb_atom_t const offered[] = { targets, timestamp, uriList, utf8String };
                xcb_change_property (connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                                     XCB_ATOM_ATOM, 32, 4, offered);
                served = true;
            }
            else if (request.target == timestamp)
            {
                uint32_t const stamp = ownedSince;
                xcb_change_property (connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                                     XCB_ATOM_INTEGER, 32, 1, &stamp);
                served = true;
            }
            else if (request.target == uriList || request.target == utf8String)
            {
                auto bytes = toBytes (request.target == uriList ? FileUriList::make (paths)
                                                                : paths.joinIntoString ("\n"));
                served = putBytes (request.requestor, property, request.target, bytes);
            }
        }

        xcb_selection_notify_event_t notice {};
        notice.response_type = XCB_SELECTION_NOTIFY;
        notice.time = request.time;
        notice.requestor = request.requestor;
        notice.selection = request.selection;
        notice.target = request.target;
        notice.property = served ? property : (xcb_atom_t) XCB_NONE;

        // xcb_send_event takes the event as 32 bytes.
        char buffer[32] = {};
        static_assert (sizeof (notice) <= sizeof (buffer), "an X event fits 32 bytes");
        std::memcpy (buffer, &notice, sizeof (notice));
        xcb_send_event (connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, buffer);
        xcb_flush (connection);
    }

    bool putBytes (xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type, std::string const& bytes)
    {
        // One request must carry it all: this owner does not send INCR.
        auto limit = (size_t) xcb_get_maximum_request_length (connection) * 4;

        if (bytes.size() + 64 > limit)
        {
            DBGOrLog ("Clipboard: the file list (" + juce::String ((juce::int64) bytes.size())
                      + " bytes) is too large to hand to another program");
            return false;
        }

        xcb_change_property (connection, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                             (uint32_t) bytes.size(), bytes.data());
        return true;
    }

    /** Asks the clipboard's owner for a target; true with its bytes when the
        owner gave them. */
    bool receive (xcb_atom_t target, std::string& bytes)
    {
        auto const started = juce::Time::getMillisecondCounter();
        xcb_delete_property (connection, window, transfer);
        selectionNotice.reset();
        propertyChanges.clear();
        xcb_convert_selection (connection, window, clipboard, target, transfer, XCB_CURRENT_TIME);
        xcb_flush (connection);

        if (! waitFor ([this] { return selectionNotice.has_value(); }, started + answerWaitMs))
        {
            DBGOrLog ("Clipboard: the clipboard's owner did not answer");
            return false;
        }

        if (selectionNotice->property == XCB_NONE)
            return false; // the owner has no such form

        xcb_atom_t type = XCB_NONE;

        if (! takeProperty (bytes, type))
            return false;

        if (type != incr)
            return true;

        // Incremental transfer: every deletion of the property asks for the next
        // chunk; an empty chunk ends it. The change that announced INCR itself
        // is no chunk.
        bytes.clear();
        propertyChanges.clear();

        for (;;)
        {
            auto deadline = juce::jmin (juce::Time::getMillisecondCounter() + answerWaitMs, started + readTotalMs);
            bool newValue = waitFor ([this]
                                     {
                                         for (auto& change : propertyChanges)
                                             if (change.atom == transfer && change.state == XCB_PROPERTY_NEW_VALUE)
                                                 return true;

                                         return false;
                                     },
                                     deadline);
            propertyChanges.clear();

            if (! newValue)
            {
                DBGOrLog ("Clipboard: an incremental transfer stalled");
                return false;
            }

            std::string chunk;

            if (! takeProperty (chunk, type))
                return false;

            if (type == XCB_NONE)
                continue; // no property (yet): not the end

            if (chunk.empty())
                return true;

            bytes += chunk;

            if (bytes.size() > maxReadBytes)
            {
                DBGOrLog ("Clipboard: the clipboard's file list is too large");
                return false;
            }
        }
    }

    /** Reads and deletes the transfer property of our window. */
    bool takeProperty (std::string& bytes, xcb_atom_t& type)
    {
        auto cookie = xcb_get_property (connection, 1, window, transfer, XCB_GET_PROPERTY_TYPE_ANY,
                                        0, (uint32_t) (maxReadBytes / 4));
        auto* reply = xcb_get_property_reply (connection, cookie, nullptr);

        if (reply == nullptr)
            return false;

        type = reply->type;
        bool complete = reply->bytes_after == 0;
        auto length = xcb_get_property_value_length (reply);

        if (complete && length > 0)
            bytes.assign (static_cast<const char*> (xcb_get_property_value (reply)), (size_t) length);
        else
            bytes.clear();

        std::free (reply);

        if (! complete)
            DBGOrLog ("Clipboard: the clipboard's file list is too large");

        return complete;
    }
};

//==============================================================================
X11Pasteboard::X11Pasteboard()
{
    xcb_window_t juceWindow = XCB_NONE;

    if (juceDisplay() != nullptr)
        juceWindow = (xcb_window_t) juce::juce_messageWindowHandle;

    owner = std::make_unique<SelectionOwner> (juceWindow);
}

X11Pasteboard::~X11Pasteboard() = default;

bool X11Pasteboard::isConnected() const
{
    return owner->isConnected();
}

juce::StringArray X11Pasteboard::readFilePaths()
{
    auto* selectionOwner = owner.get();
    return owner->call<juce::StringArray> ([selectionOwner] { return selectionOwner->readPaths(); }, {});
}

bool X11Pasteboard::writeFiles (juce::Array<juce::File> const& files)
{
    juce::StringArray existing;

    for (auto& file : files)
        if (file != juce::File() && file.exists())
            existing.add (file.getFullPathName());

    if (existing.isEmpty())
        return false;

    auto* selectionOwner = owner.get();
    return owner->call<bool> ([selectionOwner, existing] { return selectionOwner->offer (existing); }, false);
}

int X11Pasteboard::clear()
{
    auto count = ++changeCount;
    auto* selectionOwner = owner.get();
    owner->call<bool> ([selectionOwner] { return selectionOwner->empty(); }, false);
    return count;
}

void X11Pasteboard::setString (juce::String const& text)
{
    ++changeCount;

    if (text.getNumBytesAsUTF8() >= 1000000)
        DBGOrLog ("Clipboard: text of a million bytes or more stays invisible to other programs");

    onMessageThread<bool> ([text]
                           {
                               auto* display = juceDisplay();

                               if (display == nullptr)
                                   return false;

                               juce::SystemClipboard::copyTextToClipboard (text);
                               // JUCE leaves its claim in Xlib's buffer: until something flushes
                               // it, readers find no owner. Wait for the server to have it, too:
                               // a clear() that follows goes through another connection and
                               // must not overtake it.
                               juce::X11Symbols::getInstance()->xSync (display, False);
                               return true;
                           },
                           false, callWaitMs);
}

juce::String X11Pasteboard::getText()
{
    return onMessageThread<juce::String> ([]
                                          {
                                              if (juceDisplay() == nullptr)
                                                  return juce::String();

                                              return juce::SystemClipboard::getTextFromClipboard();
                                          },
                                          {}, callWaitMs);
}

int X11Pasteboard::getChangeCount()
{
    return changeCount.load();
}
