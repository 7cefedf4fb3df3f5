// Self-registration of Tamsorel.dll against the Wine registry: the entries
// the two scripts write, their removal, regsvr32, the type library, and the
// shell path through the registry (thumbhost without --dll).
//
// Every test works on a copy of the DLL in a folder whose name holds an
// apostrophe, so the quoting of the module path is exercised throughout.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/win32_owner.h"
#include "registration_support.h"

namespace {

using tamsorel::ComRef;
using tamsorel::UniqueBstr;
using tamsorel::UniqueFind;
using tamsorel::UniqueKey;
using tamsorel::UniqueModule;
using tamsorel::test::RunProcess;
using tamsorel::test::Snapshot;

const wchar_t kClsid[] = L"{062AB647-EA2F-4A58-9156-7AC33789EBF8}";
const wchar_t kAppId[] = L"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}";
const wchar_t kLibId[] = L"{54DB3818-1432-4203-AD7F-141DEC4698A3}";
const wchar_t kExtractImage[] = L"{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";
const wchar_t kApproved[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const wchar_t kPropertiesClsid[] = L"{95133135-5DC9-4D6F-9069-6861C1142BDD}";
const wchar_t kPreviewClsid[] = L"{6E603337-6D05-4FCC-BAE0-ADCF8E18B5DF}";
const wchar_t kPreviewHandler[] = L"{8895b1c6-b41f-4c1c-a562-0d564250836f}";
const wchar_t kPropertyHandlers[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers";
const wchar_t kPreviewHandlers[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\PreviewHandlers";
const wchar_t kWicDecoderClsid[] = L"{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
const wchar_t kWicDecoderInstance[] =
    L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
const wchar_t kKindMap[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";
const CLSID kQuorrelClsid = {0x062AB647, 0xEA2F, 0x4A58, {0x91, 0x56, 0x7A, 0xC3, 0x37, 0x89, 0xEB, 0xF8}};
const GUID kLibGuid = {0x54DB3818, 0x1432, 0x4203, {0xAD, 0x7F, 0x14, 0x1D, 0xEC, 0x46, 0x98, 0xA3}};
// The type library's own locale, under which it is registered.
const LCID kEnglishUs = 0x0409;

using Function = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

std::wstring Directory(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring BinDirectory() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return Directory(path);
}

// Everything the registration can touch.
std::map<std::wstring, std::wstring> RegistrationState() {
  std::map<std::wstring, std::wstring> state;
  for (const wchar_t* path : {L"AppID", L".c16", L".s16", L".spr", L"Tamsorel.Quorrel", L"Tamsorel.Quorrel.1"})
    Snapshot(HKEY_CLASSES_ROOT, path, &state);
  Snapshot(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClsid, &state);
  Snapshot(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + kLibId, &state);
  std::map<std::wstring, std::wstring> approved;
  Snapshot(HKEY_LOCAL_MACHINE, kApproved, &approved);
  for (const auto& entry : approved) state[L"HKLM\\" + entry.first] = entry.second;
  return state;
}

bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value) {
  wchar_t data[1024];
  DWORD size = sizeof(data), type = 0;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ) return false;
  *value = data;
  return true;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  UniqueKey key;
  return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

// Removes whatever an earlier, interrupted run left behind.
void RemoveRegistration() {
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsid;
  for (const std::wstring& path :
       {std::wstring(L"AppID\\") + kAppId, std::wstring(L"AppID\\Tamsorel.DLL"), std::wstring(L"Tamsorel.Quorrel"),
        std::wstring(L"Tamsorel.Quorrel.1"), clsidKey, std::wstring(L"TypeLib\\") + kLibId,
        std::wstring(L".c16\\ShellEx\\") + kExtractImage, std::wstring(L".s16\\ShellEx\\") + kExtractImage,
        std::wstring(L".spr\\ShellEx\\") + kExtractImage})
    RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  UniqueKey approved;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kApproved, 0, KEY_SET_VALUE, approved.out()) == ERROR_SUCCESS)
    RegDeleteValueW(approved.get(), kClsid);
  // What the property and preview handlers register beside the thumbnail
  // class: DllRegisterServer writes them too.
  for (const wchar_t* clsid : {kPropertiesClsid, kPreviewClsid, kWicDecoderClsid})
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsid).c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, kWicDecoderInstance);
  for (const wchar_t* ext : {L".spr", L".s16", L".c16"}) {
    RegDeleteKeyValueW(HKEY_CLASSES_ROOT, ext, L"PerceivedType");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKindMap, ext);
  }
  for (const wchar_t* ext : {L".spr", L".s16", L".c16"}) {
    const std::wstring association = std::wstring(L"SystemFileAssociations\\") + ext;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (association + L"\\shellex\\" + kPreviewHandler).c_str());
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, association.c_str(), 0, KEY_SET_VALUE, key.out()) == ERROR_SUCCESS) {
      for (const wchar_t* list : {L"FullDetails", L"PreviewDetails", L"InfoTip"}) RegDeleteValueW(key.get(), list);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kPropertyHandlers) + L"\\" + ext).c_str());
  }
  UniqueKey previewHandlers;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPreviewHandlers, 0, KEY_SET_VALUE, previewHandlers.out()) == ERROR_SUCCESS)
    RegDeleteValueW(previewHandlers.get(), kPreviewClsid);
}

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"tamsorel it's here " + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
    dll_ = folder_ + L"Tamsorel.dll";
    ASSERT_TRUE(CopyFileW((BinDirectory() + L"Tamsorel.dll").c_str(), dll_.c_str(), FALSE));
    RemoveRegistration();
    *module_.out() = LoadLibraryW(dll_.c_str());
    ASSERT_NE(module_.get(), nullptr);
    register_ =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllRegisterServer")));
    unregister_ =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllUnregisterServer")));
    ASSERT_NE(register_, nullptr);
    ASSERT_NE(unregister_, nullptr);
  }

  void TearDown() override {
    RemoveRegistration();
    module_.reset();  // freed before its file is deleted
    DeleteFileW(dll_.c_str());
    DeleteFileW((folder_ + L"Tamsorel.propdesc").c_str());  // written beside the DLL by registration
    RemoveDirectoryW(folder_.c_str());
  }

  std::wstring folder_, dll_;
  UniqueModule module_;
  Function register_ = nullptr, unregister_ = nullptr;
};

TEST_F(RegistrationTest, RegisterWritesEveryEntry) {
  ASSERT_EQ(register_(), S_OK);

  const std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsid;
  struct Expected {
    HKEY root;
    std::wstring path;
    const wchar_t* name;
    std::wstring data;
  };
  const Expected expected[] = {
      {HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kAppId, nullptr, L"Tamsorel"},
      {HKEY_CLASSES_ROOT, L"AppID\\Tamsorel.DLL", L"AppID", kAppId},
      {HKEY_CLASSES_ROOT, std::wstring(L".c16\\ShellEx\\") + kExtractImage, nullptr, kClsid},
      {HKEY_CLASSES_ROOT, std::wstring(L".s16\\ShellEx\\") + kExtractImage, nullptr, kClsid},
      {HKEY_CLASSES_ROOT, std::wstring(L".spr\\ShellEx\\") + kExtractImage, nullptr, kClsid},
      {HKEY_LOCAL_MACHINE, kApproved, kClsid, L"Pellandor"},
      {HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel.1", nullptr, L"Quorrel Class"},
      {HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel.1\\CLSID", nullptr, kClsid},
      {HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel", nullptr, L"Quorrel Class"},
      {HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel\\CLSID", nullptr, kClsid},
      {HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel\\CurVer", nullptr, L"Tamsorel.Quorrel.1"},
      {HKEY_CLASSES_ROOT, clsidKey, nullptr, L"Quorrel Class"},
      {HKEY_CLASSES_ROOT, clsidKey, L"AppID", kAppId},
      {HKEY_CLASSES_ROOT, clsidKey + L"\\ProgID", nullptr, L"Tamsorel.Quorrel.1"},
      {HKEY_CLASSES_ROOT, clsidKey + L"\\VersionIndependentProgID", nullptr, L"Tamsorel.Quorrel"},
      {HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr, dll_},
      {HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {HKEY_CLASSES_ROOT, clsidKey + L"\\TypeLib", nullptr, kLibId},
  };
  for (const Expected& e : expected) {
    std::wstring value;
    EXPECT_TRUE(ReadString(e.root, e.path, e.name, &value)) << std::string(e.path.begin(), e.path.end());
    EXPECT_EQ(value, e.data) << std::string(e.path.begin(), e.path.end());
  }
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, clsidKey + L"\\Programmable"));

  // The type library is registered with the module's own path.
  UniqueBstr registered;
  ASSERT_EQ(QueryPathOfRegTypeLib(kLibGuid, 1, 0, kEnglishUs, registered.out()), S_OK);
  EXPECT_EQ(std::wstring(registered.get()), dll_);

  // No component categories are declared for the class.
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, clsidKey + L"\\Implemented Categories"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, clsidKey + L"\\Required Categories"));
}

// The WIC decoder's class and category entry, and the extensions' perceived
// type and kind: added where missing, another program's left alone, and
// unregistration takes away exactly what registration added.
TEST_F(RegistrationTest, WicDecoderEntriesAddOnlyWhatIsMissing) {
  const auto setString = [](HKEY root, const std::wstring& path, const wchar_t* name, const wchar_t* value) {
    return RegSetKeyValueW(root, path.c_str(), name, REG_SZ, value,
                           static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  };
  const auto deleteValue = [](HKEY root, const std::wstring& path, const wchar_t* name) {
    RegDeleteKeyValueW(root, path.c_str(), name);
  };
  for (const wchar_t* ext : {L".spr", L".s16", L".c16"}) {
    deleteValue(HKEY_CLASSES_ROOT, ext, L"PerceivedType");
    deleteValue(HKEY_LOCAL_MACHINE, kKindMap, ext);
  }
  // Another program's entries, among them another codec's decoder for .spr.
  const std::wstring foreign = L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\"
                               L"{0D9E1F2A-3B4C-4D5E-8F60-718293A4B5C6}";
  ASSERT_TRUE(setString(HKEY_CLASSES_ROOT, foreign, L"FriendlyName", L"Another sprite decoder"));
  ASSERT_TRUE(setString(HKEY_CLASSES_ROOT, L".s16", L"PerceivedType", L"text"));
  ASSERT_TRUE(setString(HKEY_LOCAL_MACHINE, kKindMap, L".c16", L"document"));

  ASSERT_EQ(register_(), S_OK);
  const std::wstring decoder = std::wstring(L"CLSID\\") + kWicDecoderClsid;
  std::wstring value;
  EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, decoder + L"\\InprocServer32", nullptr, &value) &&
              _wcsicmp(value.c_str(), dll_.c_str()) == 0)
      << "InprocServer32";
  EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, kWicDecoderInstance, L"CLSID", &value) && value == kWicDecoderClsid);
  EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, decoder, L"FileExtensions", &value) && value == L".spr,.s16,.c16");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, decoder + L"\\Formats\\{6FDDC324-4E03-4BFE-B185-3D77768DC90F}"));
  BYTE mask[8] = {};
  DWORD size = sizeof(mask), type = 0;
  ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, (decoder + L"\\Patterns\\0").c_str(), L"Mask", RRF_RT_ANY, &type, mask,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(std::vector<BYTE>(mask, mask + size), (std::vector<BYTE>{0xFC, 0xFF, 0xFF, 0xFF}));
  struct Entry {
    HKEY root;
    std::wstring path;
    const wchar_t* name;
    const wchar_t* registered;  // null: none
    const wchar_t* unregistered;
  } const entries[] = {
      {HKEY_CLASSES_ROOT, L".spr", L"PerceivedType", L"image", nullptr},
      {HKEY_CLASSES_ROOT, L".s16", L"PerceivedType", L"text", L"text"},
      {HKEY_CLASSES_ROOT, L".c16", L"PerceivedType", L"image", nullptr},
      {HKEY_LOCAL_MACHINE, kKindMap, L".spr", L"picture", nullptr},
      {HKEY_LOCAL_MACHINE, kKindMap, L".c16", L"document", L"document"},
  };
  for (const Entry& e : entries) {
    const bool there = ReadString(e.root, e.path, e.name, &value);
    EXPECT_TRUE(there && value == e.registered) << "registered: " << std::string(e.name, e.name + wcslen(e.name));
  }
  ASSERT_EQ(register_(), S_OK) << "registering again";
  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, decoder));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kWicDecoderInstance));
  for (const Entry& e : entries) {
    const bool there = ReadString(e.root, e.path, e.name, &value);
    EXPECT_EQ(there, e.unregistered != nullptr) << "unregistered: " << std::string(e.name, e.name + wcslen(e.name));
    if (there && e.unregistered) {
      EXPECT_EQ(value, e.unregistered);
    }
  }
  EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, foreign, L"FriendlyName", &value) && value == L"Another sprite decoder")
      << "another codec's entry is left as it was";
  deleteValue(HKEY_CLASSES_ROOT, L".s16", L"PerceivedType");
  deleteValue(HKEY_LOCAL_MACHINE, kKindMap, L".c16");
  RegDeleteTreeW(HKEY_CLASSES_ROOT, foreign.c_str());
}

TEST_F(RegistrationTest, RegisteringTwiceEqualsRegisteringOnce) {
  ASSERT_EQ(register_(), S_OK);
  const auto once = RegistrationState();
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(RegistrationState(), once);
}

TEST_F(RegistrationTest, RegisterReplacesAnEarlierHandlerBinding) {
  const std::wstring binding = std::wstring(L".spr\\ShellEx\\") + kExtractImage;
  {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (binding + L"\\Leftover").c_str(), 0, nullptr, 0, KEY_WRITE,
                              nullptr, key.out(), nullptr),
              ERROR_SUCCESS);
  }
  ASSERT_EQ(register_(), S_OK);
  std::wstring value;
  EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, binding, nullptr, &value));
  EXPECT_EQ(value, kClsid);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, binding + L"\\Leftover"));
}

// What a complete unregistration leaves of `before`: the NoRemove keys stay,
// created or not by the registration.
std::map<std::wstring, std::wstring> AfterUnregistration(std::map<std::wstring, std::wstring> before) {
  for (const wchar_t* kept : {L".c16", L".c16\\ShellEx", L".s16", L".s16\\ShellEx", L".spr", L".spr\\ShellEx", L"AppID"})
    before[kept] = L"";
  before[std::wstring(L"HKLM\\") + kApproved] = L"";
  return before;
}

// The entries that leave the shell pointing at the class: the extension
// bindings, the class key, the AppID entries and the Approved value.
void ExpectNoBindingOrClassLeft() {
  for (const wchar_t* ext : {L".c16", L".s16", L".spr"})
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(ext) + L"\\ShellEx\\" + kExtractImage));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClsid));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kAppId));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\Tamsorel.DLL"));
  std::wstring approved;
  EXPECT_FALSE(ReadString(HKEY_LOCAL_MACHINE, kApproved, kClsid, &approved));
}

TEST_F(RegistrationTest, UnregisterRemovesAllButTheKeptKeys) {
  const auto before = RegistrationState();
  ASSERT_EQ(register_(), S_OK);
  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_EQ(RegistrationState(), AfterUnregistration(before));

  UniqueBstr registered;
  EXPECT_NE(QueryPathOfRegTypeLib(kLibGuid, 1, 0, kEnglishUs, registered.out()), S_OK);
}

// Unregistration runs every step even after one fails, and returns the
// first failure.
TEST_F(RegistrationTest, UnregisterGoesOnPastAForeignSubkey) {
  ASSERT_EQ(register_(), S_OK);
  const std::wstring server = std::wstring(L"CLSID\\") + kClsid + L"\\InprocServer32";
  {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (server + L"\\Foreign").c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.out(), nullptr),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(unregister_(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  // The class script stopped at the foreign key, which keeps its parents;
  // the type library and the AppID script were still unregistered.
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Tamsorel.Quorrel.1"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, server + L"\\Foreign"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L".spr\\ShellEx\\") + kExtractImage));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kAppId));
  UniqueBstr registered;
  EXPECT_NE(QueryPathOfRegTypeLib(kLibGuid, 1, 0, kEnglishUs, registered.out()), S_OK);
}

TEST_F(RegistrationTest, UnregisterFinishesWhenTheTypeLibraryIsNotRegistered) {
  const auto before = RegistrationState();
  ASSERT_EQ(register_(), S_OK);
  // The type library's registration is removed behind the library's back.
  ASSERT_EQ(UnRegisterTypeLib(kLibGuid, 1, 0, kEnglishUs, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32), S_OK);
  const HRESULT hr = unregister_();
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  ExpectNoBindingOrClassLeft();
  EXPECT_EQ(RegistrationState(), AfterUnregistration(before));
}

// Registered in one folder, unregistered from another: the type library's
// registration names a file that is gone and cannot be undone, but nothing
// is left that binds the extensions to the class.
TEST_F(RegistrationTest, UnregisterFromAMovedDllRemovesTheBindings) {
  ASSERT_EQ(register_(), S_OK);
  module_.reset();
  const std::wstring movedFolder = folder_ + L"moved\\";
  const std::wstring moved = movedFolder + L"Tamsorel.dll";
  ASSERT_TRUE(CreateDirectoryW(movedFolder.c_str(), nullptr));
  struct Cleanup {
    const std::wstring &file, &folder;
    ~Cleanup() {
      DeleteFileW(file.c_str());
      RemoveDirectoryW(folder.c_str());
    }
  } cleanup{moved, movedFolder};
  ASSERT_TRUE(MoveFileW(dll_.c_str(), moved.c_str()));
  *module_.out() = LoadLibraryW(moved.c_str());
  ASSERT_NE(module_.get(), nullptr);
  auto unregister =
      reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllUnregisterServer")));
  ASSERT_NE(unregister, nullptr);

  const HRESULT hr = unregister();
  // Wine answers TYPE_E_INVALIDSTATE for the type library whose file is gone;
  // whatever the code, it is the result and the other steps still ran.
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  ExpectNoBindingOrClassLeft();
  module_.reset();
}

TEST_F(RegistrationTest, Regsvr32InstallsAndRemovesTheHandler) {
  ASSERT_EQ(RunProcess(L"regsvr32.exe /s \"" + dll_ + L"\""), 0u);
  std::wstring value;
  EXPECT_TRUE(ReadString(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClsid + L"\\InprocServer32", nullptr, &value));
  EXPECT_EQ(value, dll_);
  ASSERT_EQ(RunProcess(L"regsvr32.exe /u /s \"" + dll_ + L"\""), 0u);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClsid));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L".spr\\ShellEx\\") + kExtractImage));
}

// Automation answers from the registered type library only.
TEST_F(RegistrationTest, DispatchWorksOnlyOnceTheTypeLibraryIsRegistered) {
  auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
  ASSERT_NE(getClassObject, nullptr);
  ComRef<IClassFactory> factory;
  ASSERT_EQ(getClassObject(kQuorrelClsid, IID_IClassFactory, factory.out()), S_OK);
  ComRef<IDispatch> dispatch;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, dispatch.out()), S_OK);
  factory.reset();

  ComRef<ITypeLib> unregistered;
  const HRESULT notRegistered = LoadRegTypeLib(kLibGuid, 1, 0, kEnglishUs, unregistered.outTyped());
  ASSERT_TRUE(FAILED(notRegistered));
  ComRef<ITypeInfo> info;
  EXPECT_EQ(dispatch->GetTypeInfo(0, kEnglishUs, info.outTyped()), notRegistered);
  EXPECT_EQ(info.get(), nullptr);

  ASSERT_EQ(register_(), S_OK);
  ASSERT_EQ(dispatch->GetTypeInfo(5, kEnglishUs, info.outTyped()), S_OK);
  ASSERT_NE(info.get(), nullptr);
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
  info->ReleaseTypeAttr(attributes);
  info.reset();

  // The inherited members are found by name.
  OLECHAR name[] = L"GetTypeInfoCount";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, kEnglishUs, &id), S_OK);
  EXPECT_NE(id, DISPID_UNKNOWN);
}

// The shell's way in: the binding under the extension names the class, and
// COM finds the server through InprocServer32.
class ThumbhostTest : public RegistrationTest {
 protected:
  void TearDown() override {
    for (const wchar_t* name : {L"picture.s16", L"viaregistry.bmp", L"viadll.bmp"}) DeleteFileW((folder_ + name).c_str());
    RegistrationTest::TearDown();
  }
  std::wstring Thumbhost() { return L"\"" + BinDirectory() + L"thumbhost.exe\" "; }
  // thumbhost through the registry and through --dll; both must succeed and
  // write the same bytes.
  void ExpectSameThumbnailBothWays(const std::wstring& sprite) {
    const std::wstring viaRegistry = folder_ + L"viaregistry.bmp", viaDll = folder_ + L"viadll.bmp";
    const std::string name(sprite.begin(), sprite.end());
    ASSERT_EQ(RunProcess(Thumbhost() + L"\"" + sprite + L"\" \"" + viaRegistry + L"\""), 0u) << name;
    ASSERT_EQ(RunProcess(Thumbhost() + L"--dll \"" + dll_ + L"\" \"" + sprite + L"\" \"" + viaDll + L"\""), 0u)
        << name;
    const std::string registryBytes = ReadFileBytes(viaRegistry);
    EXPECT_GT(registryBytes.size(), 54u) << name;
    EXPECT_EQ(registryBytes, ReadFileBytes(viaDll)) << name;
  }
};

TEST_F(ThumbhostTest, NeedsABindingForTheExtension) {
  const std::wstring sprite = folder_ + L"picture.s16", output = folder_ + L"viaregistry.bmp";
  // S16, 5-6-5, one frame of 2x2 pixels.
  WriteFileBytes(sprite, {0x01, 0, 0, 0, 1, 0, 14, 0, 0, 0, 2, 0, 2, 0, 4, 0, 0, 0,
                          0x1F, 0x00, 0xE0, 0x07, 0x00, 0xF8, 0xFF, 0xFF});
  EXPECT_EQ(RunProcess(Thumbhost() + L"\"" + sprite + L"\" \"" + output + L"\""), 1u);
  EXPECT_EQ(GetFileAttributesW(output.c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(register_(), S_OK);
  ExpectSameThumbnailBothWays(sprite);
}

TEST_F(ThumbhostTest, RendersTheSamplesThroughTheRegistry) {
  ASSERT_EQ(register_(), S_OK);
  int rendered = 0;
  for (const wchar_t* pattern : {L"*.spr", L"*.s16", L"*.c16"}) {
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW((std::wstring(TAMSOREL_SAMPLES_DIR) + pattern).c_str(), &found));
    if (!search.valid()) continue;
    do {
      ExpectSameThumbnailBothWays(std::wstring(TAMSOREL_SAMPLES_DIR) + found.cFileName);
      ++rendered;
    } while (FindNextFileW(search.get(), &found));
  }
  EXPECT_GE(rendered, 3);
}

}  // namespace
