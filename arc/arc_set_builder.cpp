#include "arc/arc_set_builder.h"

#include <charconv>
#include <new>
#include <vector>

#include "arc/aar.h"
#include "core/base64.h"
#include "core/folding_writer.h"
#include "crypto/arc_header_names.h"
#include "crypto/canonicalization.h"
#include "crypto/signing_input.h"

namespace tollbrook {
namespace {

using namespace seal_step;

constexpr std::string_view kAlgorithm = "rsa-sha256";

class Decimal {
 public:
  explicit Decimal(uint64_t value) {
    length_ =
        static_cast<size_t>(std::to_chars(digits_, digits_ + sizeof digits_, value).ptr - digits_);
  }
  std::string_view text() const { return {digits_, length_}; }

 private:
  char digits_[24];
  size_t length_;
};

// Runs the writer steps of one template in order, stopping at the first failure.
[[nodiscard]] Status appendTags(
    FoldingWriter& writer,
    std::initializer_list<std::pair<std::string_view, std::string_view>> tags) {
  for (const auto& [name, value] : tags) {
    if (Status status = writer.appendTag(name, value); !status) return status;
  }
  return writer.appendItem("; ", "b=");
}

[[nodiscard]] SealResult<std::string> hashBody(const MessageToSeal& message) {
  if (message.bodyIncomplete) return failStep(kBodyUnavailable, Error::BuildFailed);
  BodyHasher hasher(CanonicalizationMode::Relaxed);
  if (Status status = hasher.update(message.body); !status) {
    return failStep(kBodyCanonicalize, status.error());
  }
  auto digest = hasher.finish();
  if (!digest) return failStep(kBodyFinish, digest.error());
  std::string_view bytes(reinterpret_cast<const char*>(digest->data()), digest->size());
  auto encoded = base64Encode(bytes);
  if (!encoded) return failStep(kBodyHashEncode, encoded.error());
  return std::move(*encoded);
}

// The relaxed AMS signing input, built by the same code the verifier uses; only
// the step names of its failures are the sealer's own.
[[nodiscard]] SealResult<std::string> amsInput(const MessageToSeal& message,
                                               std::string_view signedHeaders,
                                               std::string_view amsTemplate) {
  auto headerText = arcHeaderText(kAmsFieldName, amsTemplate);
  if (!headerText) return failStep(kAmsHeaderText, headerText.error());
  AmsInputStage stage = AmsInputStage::Assemble;
  auto input = amsSigningInput(message.headers, signedHeaders, CanonicalizationMode::Relaxed,
                               *headerText, &stage);
  if (input) return std::move(*input);
  switch (stage) {
    case AmsInputStage::SignedHeaders:
      return failStep(kSignedHeaders, input.error());
    case AmsInputStage::SignatureHeader:
      return failStep(kAmsHeaderCanonicalize, input.error());
    case AmsInputStage::Assemble:
      break;
  }
  return failStep(kAmsInputAssemble, input.error());
}

struct SignatureSteps {
  std::string_view sign, encode, fold;
};

// Signs `input`, appends the Base64 signature after the template's "b=" and
// hands out the finished value. Handing it out moves the writer's buffer, so
// the "formatting the ... header" steps have nothing left that could fail.
[[nodiscard]] SealResult<std::string> signInto(FoldingWriter& writer, const PrivateKey& key,
                                               std::string_view input,
                                               const SignatureSteps& steps) {
  auto signature = signRsaSha256(key, input);
  if (!signature) return failStep(steps.sign, signature.error());
  auto encoded = base64Encode(*signature);
  if (!encoded) return failStep(steps.encode, encoded.error());
  if (Status status = writer.appendSignature(*encoded); !status) {
    return failStep(steps.fold, status.error());
  }
  return writer.take();
}

[[nodiscard]] SealResult<std::string> buildAms(const MessageToSeal& message,
                                               const SealRequest& request,
                                               std::string_view timestamp) {
  auto bodyHashText = hashBody(message);
  if (!bodyHashText) return std::unexpected(bodyHashText.error());
  Decimal instance(request.instance);
  FoldingWriter writer(FoldingWriter::kAmsColumn);
  Status status = appendTags(writer, {{"i", instance.text()},
                                      {"a", kAlgorithm},
                                      {"c", "relaxed/relaxed"},
                                      {"d", request.domain},
                                      {"s", request.selector},
                                      {"t", timestamp},
                                      {"h", request.signedHeaders},
                                      {"bh", *bodyHashText}});
  if (!status) return failStep(kAmsTemplate, status.error());
  auto input = amsInput(message, request.signedHeaders, writer.buffer());
  if (!input) return std::unexpected(input.error());
  return signInto(writer, *request.key, *input, {kAmsSign, kAmsSignatureEncode, kAmsSignatureFold});
}

[[nodiscard]] SealResult<std::string> sealInput(const SealRequest& request, const std::string& aar,
                                                const std::string& ams,
                                                std::string_view sealTemplate) {
  try {
    // A cv=fail seal vouches for nothing before it, so it signs its own set only.
    std::vector<SealedSetText> earlier;
    if (request.cv != Cv::Fail) {
      earlier.reserve(request.sets.size());
      for (const ArcSet& set : request.sets) {
        earlier.push_back(SealedSetText{set.aarValue, set.amsValue, set.sealValue});
      }
    }
    auto headerText = arcHeaderText(kSealFieldName, sealTemplate);
    if (!headerText) return failStep(kSealInput, headerText.error());
    auto input = sealSigningInput(earlier, aar, ams, *headerText);
    if (!input) return failStep(kSealInput, input.error());
    return std::move(*input);
  } catch (const std::bad_alloc&) {
    return failStep(kSealInput, Error::OutOfMemory);
  }
}

[[nodiscard]] SealResult<std::string> buildSeal(const SealRequest& request, const std::string& aar,
                                                const std::string& ams,
                                                std::string_view timestamp) {
  // Only a settled verdict may be sealed; an undetermined cv is never written.
  if (request.cv == Cv::Unknown) return failStep(kSealTemplate, Error::BuildFailed);
  Decimal instance(request.instance);
  FoldingWriter writer(FoldingWriter::kSealColumn);
  Status status = appendTags(writer, {{"i", instance.text()},
                                      {"cv", cvName(request.cv)},
                                      {"a", kAlgorithm},
                                      {"d", request.domain},
                                      {"s", request.selector},
                                      {"t", timestamp}});
  if (!status) return failStep(kSealTemplate, status.error());
  auto input = sealInput(request, aar, ams, writer.buffer());
  if (!input) return std::unexpected(input.error());
  return signInto(writer, *request.key, *input,
                  {kSealSign, kSealSignatureEncode, kSealSignatureFold});
}

}  // namespace

SealResult<ArcSetValues> buildArcSet(const MessageToSeal& message, const SealRequest& request) {
  if (request.key == nullptr || request.instance < 1 || request.instance > kMaxArcInstance) {
    return failStep(kFallback, Error::InvalidArgument);
  }
  auto content = buildAarContent(message.headers, request.authservId, request.localMethods);
  if (!content) return std::unexpected(content.error());
  auto aar = formatAar(request.instance, *content);
  if (!aar) return std::unexpected(aar.error());
  Decimal timestamp(request.timestamp);
  auto ams = buildAms(message, request, timestamp.text());
  if (!ams) return std::unexpected(ams.error());
  auto seal = buildSeal(request, *aar, *ams, timestamp.text());
  if (!seal) return std::unexpected(seal.error());
  return ArcSetValues{std::move(*aar), std::move(*ams), std::move(*seal)};
}

}  // namespace tollbrook
