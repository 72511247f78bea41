#pragma once

#include <juce_data_structures/juce_data_structures.h>

/** The program's one set of user settings ("Corvelline.settings").

    get() returns a function-local static, created on first use and destroyed at
    program exit, when JUCE writes any change not yet saved. The application
    gives it its options (configure) before anything reads it. Only the user
    settings are used; keys: "clusterID" and "LAYOUTS".
*/
class SingletonApplicationProperties
{
public:
    static juce::ApplicationProperties& get();

    /** The storage options of the settings file. */
    static juce::PropertiesFile::Options makeOptions();

    /** Gives get() its storage options. */
    static void configure();

    SingletonApplicationProperties() = delete;
};
