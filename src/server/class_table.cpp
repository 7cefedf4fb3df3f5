#include "server/class_table.h"

#include <iterator>

#include "Tamsorel_h.h"
#include "preview/preview_handler.h"
#include "properties/property_store.h"
#include "thumbnail/quorrel.h"
#include "wic/wic_decoder.h"

namespace tamsorel {

// Registry scripts: REGISTRY 102 (thumbnails), 120 (details), 103 (preview),
// 104 (the WIC decoder).
const ClassEntry kClasses[] = {
    {&CLSID_Quorrel, &CreateQuorrel, &UpdateQuorrelRegistry},
    {&CLSID_SpriteProperties, &CreateSpriteProperties, &UpdateSpritePropertiesRegistry},
    {&CLSID_TamsorelPreview, &CreatePreviewHandler, &UpdatePreviewRegistry},
    {&CLSID_TamsorelWicDecoder, &CreateWicDecoder, &UpdateWicDecoderRegistry},
};
const size_t kClassCount = std::size(kClasses);

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (IsEqualCLSID(*entry.clsid, rclsid)) return ClassFactory::Create(nullptr, riid, ppv, entry.createInstance);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace tamsorel
