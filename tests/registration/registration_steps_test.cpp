// The steps of the registration sequence on their own: quoting of the module
// path, the help directory, the type library found beside a module, and the
// widening of a script in a multi-byte code page.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "common/win32_owner.h"
#include "server/registration.h"

namespace {

using tamsorel::ComRef;
using tamsorel::UniqueBstr;

const GUID kLibGuid = {0x54DB3818, 0x1432, 0x4203, {0xAD, 0x7F, 0x14, 0x1D, 0xEC, 0x46, 0x98, 0xA3}};

TEST(RegistrationSteps, DoubleSingleQuotes) {
  struct Case {
    const wchar_t* source;
    const wchar_t* doubled;
  } cases[] = {
      {L"", L""},
      {L"C:\\dir\\Tamsorel.dll", L"C:\\dir\\Tamsorel.dll"},
      {L"C:\\it's\\Tamsorel.dll", L"C:\\it''s\\Tamsorel.dll"},
      {L"''", L"''''"},
  };
  for (const Case& c : cases) {
    wchar_t out[64];
    std::fill(std::begin(out), std::end(out), L'#');
    tamsorel::DoubleSingleQuotes(out, c.source);
    EXPECT_STREQ(out, c.doubled);
  }
}

TEST(RegistrationSteps, HelpDirectoryKeepsTheLastSeparator) {
  struct Case {
    const wchar_t* path;
    int length;
  } cases[] = {
      {nullptr, 0},         {L"Tamsorel.dll", 0},     {L"C:\\dir\\Tamsorel.dll", 7},
      {L"C:Tamsorel.dll", 2}, {L"a/b\\c.dll", 4},     {L"C:\\dir\\", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(tamsorel::HelpDirectoryLength(c.path), c.length);
}

std::wstring OwnPath() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// This program carries no type library, but the build puts one beside it
// under its own name with the extension .tlb.
TEST(RegistrationSteps, TypeLibraryBesideTheModuleIsLoadedAndRegistered) {
  std::wstring expected = OwnPath();
  expected = expected.substr(0, expected.rfind(L'.')) + L".tlb";

  ComRef<ITypeLib> lib;
  UniqueBstr path;
  ASSERT_EQ(tamsorel::LoadModuleTypeLib(GetModuleHandleW(nullptr), lib.outTyped(), path.out()), S_OK);
  ASSERT_NE(lib.get(), nullptr);
  EXPECT_EQ(std::wstring(path.get()), expected);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attributes), S_OK);
  EXPECT_TRUE(IsEqualGUID(attributes->guid, kLibGuid));
  lib->ReleaseTLibAttr(attributes);
  lib.reset();
  path.reset();

  // The registration goes into the registry every test shares: remove it
  // however the test ends.
  struct Unregister {
    ~Unregister() {
      UniqueBstr left;
      if (QueryPathOfRegTypeLib(kLibGuid, 1, 0, 0x0409, left.out()) == S_OK)
        tamsorel::UnregisterModuleTypeLib(GetModuleHandleW(nullptr));
    }
  } unregister;
  ASSERT_EQ(tamsorel::RegisterModuleTypeLib(GetModuleHandleW(nullptr)), S_OK);
  UniqueBstr registered;
  ASSERT_EQ(QueryPathOfRegTypeLib(kLibGuid, 1, 0, 0x0409, registered.out()), S_OK);
  EXPECT_EQ(std::wstring(registered.get()), expected);
  EXPECT_EQ(tamsorel::UnregisterModuleTypeLib(GetModuleHandleW(nullptr)), S_OK);
  EXPECT_NE(QueryPathOfRegTypeLib(kLibGuid, 1, 0, 0x0409, registered.out()), S_OK);
}

TEST(RegistrationSteps, NoTypeLibraryAnywhereFails) {
  ComRef<ITypeLib> lib;
  UniqueBstr path;
  EXPECT_TRUE(FAILED(tamsorel::LoadModuleTypeLib(GetModuleHandleW(L"kernel32.dll"), lib.outTyped(), path.out())));
  EXPECT_EQ(lib.get(), nullptr);
  EXPECT_EQ(path.get(), nullptr);
}

TEST(RegistrationSteps, MissingScriptGivesTheLastError) {
  tamsorel::ScriptRun run;
  EXPECT_EQ(tamsorel::LoadAndRunScript(&run, OwnPath().c_str(), 999, L"REGISTRY", TRUE),
            HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  const HRESULT noFile = tamsorel::LoadAndRunScript(&run, L"C:\\no such folder\\Tamsorel.dll", 101, L"REGISTRY", TRUE);
  EXPECT_TRUE(FAILED(noFile));
  EXPECT_EQ(HRESULT_FACILITY(noFile), FACILITY_WIN32);
}

// In a multi-byte code page a script widens to fewer characters than it has
// bytes; the text ends after the characters produced, so nothing unwritten
// is read as script.
TEST(RegistrationSteps, MultiByteScriptEndsAfterTheCharactersProduced) {
  const LCID previous = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
  UINT codePage = 0;
  GetLocaleInfoW(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                 reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(wchar_t));
  if (codePage != 932) {
    SetThreadLocale(previous);
    GTEST_SKIP() << "no Japanese thread locale here";
  }
  tamsorel::ScriptRun run;
  ASSERT_EQ(tamsorel::LoadAndRunScript(&run, OwnPath().c_str(), 301, L"REGISTRY", FALSE), S_OK);
  const HRESULT hr = tamsorel::LoadAndRunScript(&run, OwnPath().c_str(), 300, L"REGISTRY", TRUE);
  wchar_t value[16] = {};
  DWORD size = sizeof(value);
  const LONG read = RegGetValueW(HKEY_CURRENT_USER, L"Software\\TamsorelWideningTest", nullptr, RRF_RT_REG_SZ,
                                 nullptr, value, &size);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TamsorelWideningTest");
  SetThreadLocale(previous);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(read, ERROR_SUCCESS);
  EXPECT_STREQ(value, L"\u3042");
}

}  // namespace

namespace {

// A script that breaks at its very end (an entry after the last one of its
// root block) undoes all that block wrote: the WIC decoder's class and its
// category entry are not left behind.
TEST(RegistrationSteps, ScriptBrokenAtItsEndLeavesNothing) {
  const wchar_t decoder[] = L"CLSID\\{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
  const wchar_t instance[] =
      L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
  RegDeleteTreeW(HKEY_CLASSES_ROOT, decoder);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, instance);
  tamsorel::ScriptRun run;
  ASSERT_EQ(run.AddPair(u"MODULE", u"C:\\Tamsorel.dll"), S_OK);
  ASSERT_EQ(run.AddPair(u"VERSION", u"1.0.0"), S_OK);
  EXPECT_TRUE(FAILED(tamsorel::LoadAndRunScript(&run, OwnPath().c_str(), 302, L"REGISTRY", TRUE)));
  tamsorel::UniqueKey key;
  EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, decoder, 0, KEY_READ, key.out()), ERROR_SUCCESS);
  EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, instance, 0, KEY_READ, key.out()), ERROR_SUCCESS);
  EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"broken", 0, KEY_READ, key.out()), ERROR_SUCCESS);
}

}  // namespace
