#pragma once

#include <juce_core/juce_core.h>

/** A clipboard of the desktop: the general one that the user copies to and
    pastes from, or the one that carries a drag.

    It holds either text or a list of file URLs. Readers in other programs see
    the same contents. Every operation may be called from any thread; an
    operation that has to wait for the desktop system waits a bounded time.
*/
class Pasteboard
{
public:
    virtual ~Pasteboard() = default;

    /** The path part of every URL on the pasteboard, in pasteboard order and
        percent-decoded: a file URL gives its file's path, a web link the path
        of the link. URLs without a path are left out. Empty when the pasteboard
        holds no URL (nothing, or only text). */
    virtual juce::StringArray readFilePaths() = 0;

    /** Adds a file URL for each given file that exists (a file or a folder) to
        the URLs written since the last clear() or setString(); paths that do not
        exist are skipped. Returns true when the pasteboard took at least one
        file and none was refused. */
    virtual bool writeFiles (juce::Array<juce::File> const& files) = 0;

    /** Empties the pasteboard, so that no reader, here or in another program,
        finds text or files on it. Returns the new change count. */
    virtual int clear() = 0;

    /** Replaces the contents with a plain string. */
    virtual void setString (juce::String const& text) = 0;

    /** The text on the pasteboard; empty when it holds none. */
    virtual juce::String getText() = 0;

    /** A number that changes with every clear() and every setString(). */
    virtual int getChangeCount() = 0;
};
