// Tests of the registry-script parser: what a script becomes, the scripts the library
// carries, and the refusal of every malformed script with the line that is wrong.
#include <gtest/gtest.h>

#include <string>

#include "registration/RegistrarScript.h"
#include "registration/Registration.h"
#include "registration/RegistryScripts.h"

namespace {

const RegistrarReplacements kReplacements = {{"MODULE", "/opt/q/libQvFolderExt.so"},
                                             {"APPID", "{APP}"}};

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

TEST(RegistrarScriptTest, AScriptBecomesItsTreeOfKeysAndValues) {
  const char* text = R"(HKCR
{
	NoRemove CLSID
	{
		ForceRemove {X} = s 'It''s %%1 of %MODULE%'
		{
			InprocServer32 = e '%MODULE%'
			{
				val ThreadingModel = s 'Apartment'
			}
			'Implemented Categories'
			val Attributes = d '0xE80001A0'
			val Count = d '4294967295'
		}
	}
}
hklm { Empty { } }
)";
  RegistrarScript script;
  std::string error;
  ASSERT_TRUE(ParseRegistrarScript(text, kReplacements, &script, &error)) << error;
  ASSERT_EQ(script.roots.size(), 2u);
  EXPECT_EQ(script.roots[0].root, HKEY_CLASSES_ROOT);
  EXPECT_EQ(script.roots[1].root, HKEY_LOCAL_MACHINE);
  ASSERT_EQ(script.roots[0].keys.size(), 1u);
  const RegistrarKey& clsid = script.roots[0].keys[0];
  EXPECT_EQ(clsid.name, "CLSID");
  EXPECT_EQ(clsid.flag, RegistrarKeyFlag::NoRemove);
  ASSERT_EQ(clsid.subkeys.size(), 1u);
  const RegistrarKey& cls = clsid.subkeys[0];
  EXPECT_EQ(cls.name, "{X}");
  EXPECT_EQ(cls.flag, RegistrarKeyFlag::ForceRemove);
  ASSERT_EQ(cls.values.size(), 3u);
  EXPECT_EQ(cls.values[0].name, "");
  EXPECT_EQ(cls.values[0].data, Sz("It's %1 of /opt/q/libQvFolderExt.so"));
  EXPECT_EQ(cls.values[1].name, "Attributes");
  EXPECT_EQ(cls.values[1].type, REG_DWORD);
  EXPECT_EQ(cls.values[1].data, std::string("\xA0\x01\x00\xE8", 4));
  EXPECT_EQ(cls.values[2].data, std::string("\xFF\xFF\xFF\xFF", 4));
  ASSERT_EQ(cls.subkeys.size(), 2u);
  EXPECT_EQ(cls.subkeys[0].values[0].type, REG_EXPAND_SZ);
  EXPECT_EQ(cls.subkeys[0].values[1].name, "ThreadingModel");
  EXPECT_EQ(cls.subkeys[1].name, "Implemented Categories");
  EXPECT_TRUE(cls.subkeys[1].values.empty());
  EXPECT_EQ(script.roots[1].keys[0].name, "Empty");
}

TEST(RegistrarScriptTest, EveryScriptTheLibraryCarriesParses) {
  for (const std::string& name : RegistrationScriptNames()) {
    const std::string_view text = FindRegistryScript(name);
    ASSERT_FALSE(text.empty()) << "no script " << name;
    RegistrarScript script;
    std::string error;
    EXPECT_TRUE(ParseRegistrarScript(
        text, {{"MODULE", "/m.so"}, {"MODULEDIR", "/"}, {"APPID", "{A}"}}, &script, &error))
        << name << ": " << error;
    EXPECT_FALSE(script.roots.empty()) << name;
  }
  EXPECT_TRUE(FindRegistryScript("no such script").empty());
}

TEST(RegistrarScriptTest, MalformedScriptsFailWholeAndSayWhere) {
  const struct {
    std::string text;
    const char* expected;  // part of the message
  } cases[] = {
      {"HKXX { }", "line 1: expected a root key"},
      {"HKCR\n{\n  Key\n", "not closed"},
      {"HKCR { Key = s 'open", "does not end"},
      {"HKCR { Key = s '%NOPE%' }", "unknown replacement %NOPE%"},
      {"HKCR { Key = s '100%' }", "without its closing %"},
      {"HKCR {\n Delete Old\n }", "line 2: Delete is not supported"},
      {"HKCR { a\\b }", "no backslash"},
      {"HKCR { " + std::string(256, 'k') + " }", "1 to 255 bytes"},
      {"HKCR { Key = x 'v' }", "unknown type"},
      {"HKCR { Key = d '4294967296' }", "does not fit"},
      {"HKCR { Key = d '12ab' }", "not a number"},
      {"HKCR { Key = d '' }", "not a number"},
      {"HKCR { Key = s }", "expected quoted data"},
      {"HKCR { Key Key }", "a key given twice"},
      {"HKCR { Key { val V = s 'a' val v = s 'b' } }", "a value given twice"},
      {"HKCR { val V = s 'a' }", "a value outside a key"},
      {"HKCR { { } }", "a block without a key"},
      {"HKCR { NoRemove }", "expected a key name"},
      {"HKCR Key", "expected {"},
      {std::string("HKCR { K = s 'a\0b' }", 21), "NUL byte"},
      {std::string(kRegistrarMaxScriptSize + 1, ' '), "too large"},
  };
  for (const auto& c : cases) {
    RegistrarScript script;
    script.roots.emplace_back();
    std::string error;
    EXPECT_FALSE(ParseRegistrarScript(c.text, kReplacements, &script, &error))
        << c.text.substr(0, 80);
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.text.substr(0, 80) << " -> " << error;
    EXPECT_TRUE(script.roots.empty()) << "a failed parse leaves no half tree";
  }
}

TEST(RegistrarScriptTest, NestingIsBoundedAndAsDeepAsAllowedStillParses) {
  auto nested = [](std::size_t depth) {
    std::string text = "HKCR {";
    for (std::size_t i = 0; i < depth; ++i) text += " k {";
    for (std::size_t i = 0; i <= depth; ++i) text += " }";
    return text;
  };
  RegistrarScript script;
  std::string error;
  EXPECT_TRUE(ParseRegistrarScript(nested(kRegistrarMaxDepth - 1), {}, &script, &error)) << error;
  EXPECT_FALSE(ParseRegistrarScript(nested(kRegistrarMaxDepth), {}, &script, &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos) << error;
}

}  // namespace
