// A minimal application that uses JUCE's single-instance lock and the second
// launch notice as the program does. Its folder for reports is
// $CORVELLINE_PROBE_DIR:
//   ready     written by the running instance once it listens ("listening")
//   heard     every command line the running instance was told, one per line
//   refused   written by a refused launch: "told" or "untold"
// A launch with the argument --quit makes the running instance quit.
#include "platform/SecondLaunchNotice.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdlib>

namespace
{
juce::File reportFolder()
{
    return juce::File (juce::String (juce::CharPointer_UTF8 (std::getenv ("CORVELLINE_PROBE_DIR"))));
}
} // namespace

class SecondLaunchProbe : public juce::JUCEApplication
{
public:
    const juce::String getApplicationName() override    { return "Corvelline"; }
    const juce::String getApplicationVersion() override { return "1.0.0"; }
    bool moreThanOneInstanceAllowed() override          { return false; }

    void initialise (juce::String const&) override
    {
        initialised = true;
        notice = std::make_unique<SecondLaunchNotice> ([this] (juce::String const& commandLine)
        {
            anotherInstanceStarted (commandLine);
        });

        reportFolder().getChildFile ("ready").replaceWithText (notice->isListening() ? "listening" : "deaf");
    }

    void anotherInstanceStarted (juce::String const& commandLine) override
    {
        reportFolder().getChildFile ("heard").appendText (commandLine + "\n", false, false, nullptr);

        if (commandLine.contains ("--quit"))
            quit();
    }

    void shutdown() override
    {
        if (! initialised)
        {
            // JUCE refused this launch: another instance holds the lock.
            auto told = SecondLaunchNotice::tellRunningInstance (getCommandLineParameters());
            reportFolder().getChildFile ("refused").replaceWithText (told ? "told" : "untold");
        }

        notice.reset();
    }

private:
    bool initialised = false;
    std::unique_ptr<SecondLaunchNotice> notice;
};

START_JUCE_APPLICATION (SecondLaunchProbe)
