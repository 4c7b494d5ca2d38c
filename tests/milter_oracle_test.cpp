// Header fields that went through the codec as Postfix hands them over (folds
// with a bare LF) must still carry the signatures made upstream. dkimpy, an
// ARC implementation we did not write, seals a message with simple/simple
// canonicalization; the test MTA sends it to the codec, and the chain is
// validated over what the codec stored.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "arc/arc_set.h"
#include "arc/validate_chain.h"
#include "daemon/milter/body_handler.h"
#include "daemon/milter/codec.h"
#include "dns/resolver.h"
#include "tests/arc_test_support.h"
#include "tests/milter_client.h"
#include "tests/milter_codec_peer.h"
#include "tests/outside_programs.h"
#include "testsupport/test_text.h"

namespace tollbrook::testing {
namespace {

constexpr char kSelector[] = "s1";
constexpr char kDomain[] = "hop1.example";

// Folded fields of every shape: tab and space continuations, several folds,
// runs of spaces that simple canonicalization keeps.
const char kHeaders[] =
    "Authentication-Results: hop1.example; spf=pass smtp.mailfrom=example.org\r\n"
    "Received: from mail.example.org (mail.example.org [192.0.2.1])\r\n"
    "\tby mx.example.com; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    "From: Alice Example <alice@example.org>\r\n"
    "To: Bob <bob@example.com>,\r\n"
    "  Carol <carol@example.com>,\r\n"
    "\t Dave <dave@example.com>\r\n"
    "Subject: A folded\r\n"
    "\tsubject   line \r\n"
    "Date: Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    "Message-ID: <codec@example.org>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain;\r\n"
    "\tcharset=utf-8\r\n";

std::string body() {
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) {
    text += "line " + std::to_string(i) + " with  two spaces and a tab\there \r\n";
  }
  return text;
}

struct Validation {
  std::map<std::string, std::string> records;
  std::vector<std::string> fields;  // name ":" value as stored, in order
  std::string body;
  ChainResult result;
};

ChainResult validateStored(const std::map<std::string, std::string>& records,
                           std::span<const HeaderField> headers, std::string_view body) {
  Result<std::vector<ArcSet>> sets = collectArcSets(headers);
  if (!sets) return chainFailure(brokenChainReason(sets.error()), 0);
  ResolverSettings settings;
  settings.nameservers = {"127.0.0.1"};  // never asked: keys come from `records`
  Resolver resolver = Resolver::create(settings).value();
  PublicKeyCache keys;
  ValidationOptions options{resolver, keys, 0, 1024, 3, {}};
  TxtLookup lookup = [&](std::string_view name) -> Result<std::vector<DnsRecord>> {
    auto found = records.find(std::string(name));
    if (found == records.end()) return fail(Error::DnsNameError);
    return std::vector<DnsRecord>{{std::string(name), found->second, 300, 16}};
  };
  return validateChainWithLookup(options, lookup, *sets, headers, body);
}

// The end-of-message handler: validates the chain over the stored fields.
char validatingEom(void* context, MilterConnection& connection) {
  auto& validation = *static_cast<Validation*>(context);
  const MilterMessage& message = connection.message;
  for (const HeaderField& field : message.headers) {
    validation.fields.push_back(std::string(field.name) + ":" + (field.leadingSpace ? " " : "") +
                                std::string(field.value));
  }
  validation.body = message.body;
  validation.result = validateStored(validation.records, message.headers, message.body);
  return 'a';
}

class MilterOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Python3, OutsideProgram::Openssl);
  }

  // The message sealed by dkimpy with the given AMS canonicalization.
  std::string sealedByDkimpy(const std::string& canonicalization) {
    std::string pem = dir_.file("key.pem");
    ProgramRun key = runOracle({"keygen", "2048", pem});
    EXPECT_EQ(key.status, 0) << key.err;
    std::string p = key.out.substr(0, key.out.find('\n'));
    records_[std::string(kSelector) + "._domainkey." + kDomain] = "v=DKIM1; k=rsa; p=" + p;
    ProgramRun sealed =
        runOracleWithInput({"seal", pem, kSelector, kDomain, kDomain, canonicalization},
                           std::string(kHeaders) + "\r\n" + body());
    EXPECT_EQ(sealed.status, 0) << sealed.err;
    return sealed.out;
  }

  // arc_oracle.py with `input` as its standard input.
  ProgramRun runOracleWithInput(const std::vector<std::string>& args, const std::string& input) {
    const std::string inputPath = dir_.write("oracle.in", input);
    ProgramOptions options;
    options.stdinPath = inputPath.c_str();
    return runTestScript("arc_oracle.py", args, options);
  }

  ScratchDir dir_;
  std::map<std::string, std::string> records_;
};

TEST_F(MilterOracleTest, SimpleCanonicalizationSurvivesPostfixFolds) {
  const std::string sealed = sealedByDkimpy("simple/simple");
  ASSERT_NE(sealed.find("c=simple/simple"), std::string::npos);
  ProgramRun dkimpy = runOracleWithInput(
      {"verify", dir_.write("records.txt", std::string(kSelector) + "._domainkey." + kDomain +
                                               "\t" + records_.begin()->second + "\n")},
      sealed);
  ASSERT_EQ(dkimpy.out.substr(0, 5), "pass\t") << "dkimpy's own verdict: " << dkimpy.out;

  Validation validation;
  validation.records = records_;
  MilterHandlers handlers;
  handlers.context = &validation;
  handlers.body = handleBodyChunkSlot;
  handlers.eom = validatingEom;
  auto made = MilterClient::overSocketPair();
  ASSERT_TRUE(made);
  MilterClient client = std::move(made->first);
  CodecPeer peer(std::move(made->second), handlers);
  ASSERT_TRUE(client.negotiate());
  ASSERT_EQ(client.openSession(MtaSession{}), 'c');
  MtaMessage message;
  message.text = sealed;
  Result<EndOfMessage> ended = client.sendMessage(message);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 'a');
  ASSERT_TRUE(client.quit());
  peer.join();

  // What the codec stored is the sealed message byte for byte.
  std::string stored;
  for (const std::string& field : validation.fields) stored += field + "\r\n";
  stored += "\r\n" + validation.body;
  EXPECT_TRUE(stored == sealed) << "stored header block:\n"
                                << spellLineBytes(stored.substr(0, 3000));
  EXPECT_TRUE(validation.result.passed())
      << "cv " << cvName(validation.result.cv) << " at i=" << int{validation.result.instance}
      << ": " << validation.result.reason;

  // The same fields kept with the bare LF Postfix sent them with break the
  // chain: this is what storing them as received would do.
  std::vector<std::string> lfTexts;
  for (const std::string& field : validation.fields) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
      if (!(field[i] == '\r' && i + 1 < field.size() && field[i + 1] == '\n')) text += field[i];
    }
    lfTexts.push_back(text);
  }
  std::vector<HeaderField> lfFields;
  for (const std::string& text : lfTexts) {
    size_t colon = text.find(':');
    std::string_view value = std::string_view(text).substr(colon + 1);
    bool space = value.starts_with(' ');
    if (space) value.remove_prefix(1);
    lfFields.push_back({std::string_view(text).substr(0, colon), value, space});
  }
  ChainResult asReceived = validateStored(records_, lfFields, validation.body);
  EXPECT_EQ(asReceived.cv, Cv::Fail) << "the control case must fail, or the test shows nothing";
}

}  // namespace
}  // namespace tollbrook::testing
