// CSpriteProperties, the property handler the shell creates for each sprite
// file it shows details of: IInitializeWithStream (the shell, usually from
// its isolated process, hands over a stream on the file), IPropertyStore
// (the values, read-only) and IPropertyStoreCapabilities (nothing is
// writable).  The values are read once, in Initialize, from the header and
// the frame directory (sprite_details.h); the stream is not kept.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propsys.h>
#include <shobjidl.h>

#include <string>

namespace tamsorel {

// {95133135-5DC9-4D6F-9069-6861C1142BDD}
extern const CLSID CLSID_SpriteProperties;
// Tamsorel's own properties, described by the schema that registration
// installs: Tamsorel.Sprite.FrameCount (UInt32, the frames whose entries
// the file holds), Tamsorel.Sprite.PixelFormat (String) and
// Tamsorel.Sprite.ClaimedFrameCount (UInt32, the frames the header claims;
// given only where that differs from FrameCount, empty otherwise).
extern const PROPERTYKEY PKEY_Tamsorel_FrameCount;
extern const PROPERTYKEY PKEY_Tamsorel_PixelFormat;
extern const PROPERTYKEY PKEY_Tamsorel_ClaimedFrameCount;

// The instance creator of the class: a plain object; aggregation is
// refused with CLASS_E_NOAGGREGATION.
HRESULT CreateSpriteProperties(IUnknown* outer, REFIID riid, void** ppv);

// The class entry's updateRegistry.  Registering writes the property schema
// (embedded in the module) beside the module as Tamsorel.propdesc,
// registers it with the property system, then runs the class's registry
// script; when a step fails, what the earlier steps did is undone and the
// registry script undoes itself, so a failed registration leaves things as
// they were.  Unregistering runs every step (the script, the schema's
// registration, the file) even after one fails and returns the first
// failure.
HRESULT UpdateSpritePropertiesRegistry(BOOL doRegister);

// Where the schema goes for the module at `modulePath`: the same folder,
// named Tamsorel.propdesc.
std::wstring SchemaPathFor(const wchar_t* modulePath);

}  // namespace tamsorel
