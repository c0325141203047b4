#include "infra/account_id.h"

#include <functional>

#include "infra/error_handler.h"

namespace {

constexpr char kEmailKey[] = "xlmemailaccount_email";
constexpr char kHollinKey[] = "hollinid";
constexpr char kPhoneKey[] = "XLMPhoneAccount_Phone";

uint64_t HashOf(const std::string& text) { return std::hash<std::string>{}(text); }

// The identifier stored under `key`, or none when it is missing or empty.
std::optional<std::string> DecodeIdentifier(NSCoder* coder, const char* key) {
  std::optional<std::string> identifier = coder->decodeObjectOfClass<std::string>(key);
  if (!identifier || identifier->empty()) return std::nullopt;
  return identifier;
}

}  // namespace

// ---- E-mail.

std::shared_ptr<XLMEmailAccountId> XLMEmailAccountId::initWithEmail(std::string email) {
  return std::make_shared<XLMEmailAccountId>(std::move(email));
}

std::shared_ptr<XLMEmailAccountId> XLMEmailAccountId::initWithCoder(NSCoder* coder) {
  auto email = DecodeIdentifier(coder, kEmailKey);
  return email ? initWithEmail(std::move(*email)) : nullptr;
}

std::shared_ptr<SRLAccountID> XLMEmailAccountId::copy() const { return initWithEmail(email_); }

bool XLMEmailAccountId::isEqual(const SRLAccountID* other) const {
  if (other == this) return true;
  auto* email = dynamic_cast<const XLMEmailAccountId*>(other);
  return email != nullptr && email->identifier() == email_;
}

uint64_t XLMEmailAccountId::hash() const { return HashOf(email_); }

std::string XLMEmailAccountId::description() const { return "Email AccountId: " + email_; }

void XLMEmailAccountId::encodeWithCoder(NSCoder* coder) const {
  coder->encodeObject(email_, kEmailKey);
}

// ---- Hollin.

std::shared_ptr<XLMHollinAccountId> XLMHollinAccountId::initWithHollinId(std::string hollinId) {
  return std::make_shared<XLMHollinAccountId>(std::move(hollinId));
}

std::shared_ptr<XLMHollinAccountId> XLMHollinAccountId::initWithCoder(NSCoder* coder) {
  auto id = DecodeIdentifier(coder, kHollinKey);
  if (!id) {
    XLM_REPORT_FAULT("Invalid hollin id found in archive");
    return nullptr;
  }
  return initWithHollinId(std::move(*id));
}

std::shared_ptr<SRLAccountID> XLMHollinAccountId::copy() const {
  return std::const_pointer_cast<SRLAccountID>(shared_from_this());
}

bool XLMHollinAccountId::isEqual(const SRLAccountID* other) const {
  if (other == this) return true;
  auto* hollin = dynamic_cast<const ZRBHollinAccountID*>(other);
  return hollin != nullptr && hollin->identifier() == hollin_id_ &&
         hollin->hollinID() == hollin_id_;
}

uint64_t XLMHollinAccountId::hash() const { return HashOf(hollin_id_) + 2657; }

std::string XLMHollinAccountId::description() const { return "Hollin AccountId: " + hollin_id_; }

void XLMHollinAccountId::encodeWithCoder(NSCoder* coder) const {
  coder->encodeObject(hollin_id_, kHollinKey);
}

// ---- Phone.

std::shared_ptr<XLMPhoneAccountId> XLMPhoneAccountId::initWithPhoneNumber(std::string phoneNumber) {
  if (phoneNumber.empty()) {
    XLM_REPORT_FAULT("|phoneNumber| cannot be nil/empty");
    return nullptr;
  }
  return std::make_shared<XLMPhoneAccountId>(std::move(phoneNumber));
}

std::shared_ptr<XLMPhoneAccountId> XLMPhoneAccountId::initWithCoder(NSCoder* coder) {
  auto number = DecodeIdentifier(coder, kPhoneKey);
  return number ? initWithPhoneNumber(std::move(*number)) : nullptr;
}

std::shared_ptr<SRLAccountID> XLMPhoneAccountId::copy() const {
  return initWithPhoneNumber(phone_number_);
}

bool XLMPhoneAccountId::isEqual(const SRLAccountID* other) const {
  if (other == this) return true;
  auto* phone = dynamic_cast<const XLMPhoneAccountId*>(other);
  return phone != nullptr && phone->identifier() == phone_number_;
}

uint64_t XLMPhoneAccountId::hash() const { return HashOf(phone_number_); }

std::string XLMPhoneAccountId::description() const { return "Phone AccountId: " + phone_number_; }

void XLMPhoneAccountId::encodeWithCoder(NSCoder* coder) const {
  coder->encodeObject(phone_number_, kPhoneKey);
}

// ---- No account.

std::shared_ptr<XLMNoAccountId> XLMNoAccountId::sharedInstance() {
  static auto* shared = new std::shared_ptr<XLMNoAccountId>(std::make_shared<XLMNoAccountId>(Private{}));
  return *shared;
}

std::shared_ptr<SRLAccountID> XLMNoAccountId::copy() const {
  return std::const_pointer_cast<SRLAccountID>(shared_from_this());
}
