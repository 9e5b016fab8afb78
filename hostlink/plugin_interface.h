// The abstract plug-in class the host knows: destructor, execute, initPlugin, in this slot order.
#pragma once

class NLHSPluginInterface {
public:
    NLHSPluginInterface() = default;
    virtual ~NLHSPluginInterface() {}
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};

// Entry points the host looks up under these plain names.
extern "C" {
NLHSPluginInterface* createPlugin();
const char* getPluginName();
const char* getPluginDescription();
const char* getAuthor();
const char* getHelpFile();
const char* getPluginVersion();
const char* getGUIScript();
}
