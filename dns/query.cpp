#include "dns/query.h"

#include <new>

#include "dns/dns_record.h"
#include "dns/wire_bytes.h"

namespace tollbrook {

namespace {

constexpr uint16_t kFlagsRecursionDesired = 0x0100;
constexpr uint16_t kTypeOpt = 41;
constexpr uint16_t kClassIn = 1;

// One leading and one trailing dot mark the root or a fully qualified name;
// neither is a label. A name made only of dots still has an empty label.
std::string_view stripOuterDots(std::string_view name) {
  if (name.starts_with('.')) name.remove_prefix(1);
  if (name.ends_with('.')) name.remove_suffix(1);
  return name;
}

Status appendLabel(std::string_view label, std::string& out) {
  if (label.empty()) return fail(Error::EmptyLabel);
  if (label.size() > kMaxLabelLength) return fail(Error::LabelTooLong);
  out.push_back(static_cast<char>(label.size()));
  out.append(label);
  return {};
}

void appendHeader(std::string& out, uint16_t identifier) {
  appendU16(out, identifier);
  appendU16(out, kFlagsRecursionDesired);
  appendU16(out, 1);  // QDCOUNT
  appendU16(out, 0);  // ANCOUNT
  appendU16(out, 0);  // NSCOUNT
  appendU16(out, 1);  // ARCOUNT: the OPT record
}

// Extended rcode 0, version 0, no DO bit, no options.
void appendOptRecord(std::string& out) {
  out.push_back('\0');  // root owner name
  appendU16(out, kTypeOpt);
  appendU16(out, kEdnsUdpPayload);
  appendU32(out, 0);
  appendU16(out, 0);
}

}  // namespace

Status encodeName(std::string_view name, std::string& out) {
  if (name.size() > kMaxQueryNameLength) return fail(Error::NameTooLong);
  const bool root = name.empty() || name == ".";
  std::string_view rest = stripOuterDots(name);
  try {
    if (!root) {
      size_t labels = 0;
      while (true) {
        size_t dot = rest.find('.');
        if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
        if (auto status = appendLabel(rest.substr(0, dot), out); !status) return status;
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
      }
    }
    out.push_back('\0');
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

Result<std::string> buildTxtQuery(std::string_view name, uint16_t identifier) {
  try {
    std::string query;
    query.reserve(12 + name.size() + 2 + 4 + 11);
    appendHeader(query, identifier);
    if (auto status = encodeName(name, query); !status) return fail(status.error());
    appendU16(query, kDnsTypeTxt);
    appendU16(query, kClassIn);
    appendOptRecord(query);
    return query;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
