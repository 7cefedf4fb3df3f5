// The process-wide records of the server and the class table's one entry.
// They are static objects of this one file, so they are built in the order
// written here before DllMain first runs (the runtime's DLL entry point builds
// them) and torn down in the reverse order after DllMain last runs:
// CModuleInstance, CClassTable, CServerModule.
#include <iterator>

#include "Tamsorel_h.h"
#include "extractor/quorrel.h"
#include "preview/preview_handler.h"
#include "properties/property_store.h"
#include "server/class_factory.h"
#include "server/module.h"
#include "server/registration.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module's load address

namespace tamsorel {

namespace {

const CategoryMapEntry* NoCategories() { return nullptr; }

void NoObjectMain(BOOL) {}

// The Quorrel class; its registry script is REGISTRY resource 102.
ClassEntry quorrelClass = {
    &CLSID_Quorrel, &UpdateQuorrelRegistry, &CClassFactory::Create, &CreateQuorrel, nullptr, &NoCategories, &NoObjectMain,
};

// The sprite property handler; its registry script is REGISTRY resource 120.
ClassEntry spritePropertiesClass = {
    &CLSID_SpriteProperties, &UpdateSpritePropertiesRegistry, &CClassFactory::Create, &CreateSpriteProperties,
    nullptr, &NoCategories, &NoObjectMain,
};

// The preview handler; its registry script is REGISTRY resource 103.
ClassEntry previewClass = {
    &CLSID_TamsorelPreview, &UpdatePreviewRegistry, &CClassFactory::Create, &CreatePreviewHandler, nullptr,
    &NoCategories, &NoObjectMain,
};

ClassEntry* const classEntries[] = {&quorrelClass, &spritePropertiesClass, &previewClass};

}  // namespace

bool initFailed = false;
CServerModule* g_serverModule = nullptr;

CModuleInstance g_moduleInstance(reinterpret_cast<HINSTANCE>(&__ImageBase));
CClassTable g_classTable(g_moduleInstance.ModuleHandle(), std::begin(classEntries), std::end(classEntries));
CServerModule g_server(&g_classTable);

}  // namespace tamsorel
