#pragma once

#include <juce_core/juce_core.h>

/** The "text/uri-list" form in which X clients exchange lists of files: one
    URI per line, each line ended by CR LF, lines starting with '#' being
    comments. A file's URI is "file://" followed by its absolute path with every
    byte of its UTF-8 form percent-encoded except letters, digits, "-._~" and "/".
*/
namespace FileUriList
{
    /** The file URI of an absolute path. */
    juce::String fileUri (juce::String const& absolutePath);

    /** The list of the file URIs of the given absolute paths. */
    juce::String make (juce::StringArray const& absolutePaths);

    /** The percent-decoded path part of a URI: for "file:///a%20b" "/a b", for
        "file://host/x" and "file:/x" "/x", for "https://example.com/p/q?r#s"
        "/p/q". Empty when the URI has no path, has no scheme, or decodes to
        something that is not UTF-8 text without NUL. */
    juce::String pathOf (juce::String const& uri);

    /** The paths of the URIs of a list, in order, leaving out comments, blank
        lines and URIs without a path. Accepts lines ended by LF alone. */
    juce::StringArray paths (juce::String const& list);
}
