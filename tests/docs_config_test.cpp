// The operators' documents held to the daemon's own key lists: the example
// configuration must load with the daemon's builder and name every key, and
// the manual page must describe every key and no other, so that neither goes
// stale when a key is added or removed.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/config/config_keys.h"
#include "daemon/config/daemon_config.h"
#include "daemon/config/ini_file.h"

namespace tollbrook {
namespace {

const std::string kExamplePath = std::string(TOLLBROOK_SOURCE_DIR) + "/examples/tollbrook.conf";
const std::string kManPagePath = std::string(TOLLBROOK_SOURCE_DIR) + "/man/tollbrook.conf.5";

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string_view> allKeys() {
  std::vector<std::string_view> keys(globalConfigKeys().begin(), globalConfigKeys().end());
  keys.insert(keys.end(), listenerConfigKeys().begin(), listenerConfigKeys().end());
  return keys;
}

// The example with every commented-out setting ("#Key = value", no blank
// after the "#") made active, the way an administrator would enable one.
std::string withCommentedSettingsEnabled(const std::string& text) {
  static const std::regex commentedSetting(R"(^#([A-Za-z-]+[ \t]*=))", std::regex::multiline);
  return std::regex_replace(text, commentedSetting, "$1");
}

Result<DaemonConfig> buildFromText(const std::string& text) {
  Result<IniDocument> document = parseIniText(text);
  if (!document) return fail(document.error());
  return buildDaemonConfig(*document);
}

TEST(ExampleConfiguration, BuildsAsItStandsAndWithEveryCommentedSettingEnabled) {
  Result<IniDocument> document = readIniFile(kExamplePath);
  ASSERT_TRUE(document) << kExamplePath << ": " << errorName(document.error());
  Result<DaemonConfig> config = buildDaemonConfig(*document);
  ASSERT_TRUE(config) << "as it stands: " << errorName(config.error());

  const std::string enabled = withCommentedSettingsEnabled(readWhole(kExamplePath));
  Result<DaemonConfig> full = buildFromText(enabled);
  ASSERT_TRUE(full) << "with the commented settings enabled: " << errorName(full.error());
}

TEST(ExampleConfiguration, NamesEveryKey) {
  const std::string text = readWhole(kExamplePath);
  ASSERT_FALSE(text.empty()) << kExamplePath;
  for (std::string_view key : allKeys()) {
    // Set, or commented out with its value, at the start of a line.
    const std::regex line("^#?" + std::string(key) + R"([ \t]*=)", std::regex::multiline);
    EXPECT_TRUE(std::regex_search(text, line))
        << "key " << key << ": got no line in examples/tollbrook.conf, want one";
  }
}

TEST(ConfigurationManualPage, DescribesEveryKeyAndNoOther) {
  const std::string page = readWhole(kManPagePath);
  ASSERT_FALSE(page.empty()) << kManPagePath;
  static const std::regex item(R"(^\.It Cm ([A-Za-z-]+) Ns =)", std::regex::multiline);
  std::set<std::string> described;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), item); it != std::sregex_iterator();
       ++it) {
    described.insert((*it)[1].str());
  }
  for (std::string_view key : allKeys()) {
    EXPECT_TRUE(described.contains(std::string(key)))
        << "key " << key << ": got no .It entry in man/tollbrook.conf.5, want one";
  }
  for (const std::string& key : described) {
    EXPECT_TRUE(isGlobalKey(key) || isListenerKey(key))
        << "entry " << key << " in man/tollbrook.conf.5: got a key the daemon does not know";
  }
}

}  // namespace
}  // namespace tollbrook
