// Account identifiers: values that name the account a service, a setting or stored data belongs
// to. An account is known by e-mail address (XLMEmailAccountId), Hollin account number
// (XLMHollinAccountId) or phone number (XLMPhoneAccountId); XLMNoAccountId is the one value for
// "no account". They compare and hash by their identifier and travel through keyed archives:
//
//   auto account = XLMEmailAccountId::initWithEmail("a@example.com");
//   auto data = NSKeyedArchiver::archivedDataWithRootObject(account, true, &error);
//   auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<XLMEmailAccountId>(*data, &error);
//   back->isEqual(account.get());  // true
//
// An archive without an identifier decodes to null; for a Hollin account that is also a fault
// report (error_handler.h). The objects are immutable and may be shared between threads.
#ifndef INFRA_ACCOUNT_ID_H_
#define INFRA_ACCOUNT_ID_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/ns_keyed_archiver.h"

// The account id the service registry accepts for account scopes.
class SRLAccountID : public std::enable_shared_from_this<SRLAccountID> {
 public:
  virtual ~SRLAccountID() = default;
  virtual std::string identifier() const = 0;
  // An equal object; immutable kinds answer themselves.
  virtual std::shared_ptr<SRLAccountID> copy() const = 0;
  virtual bool isEqual(const SRLAccountID* other) const = 0;
  virtual uint64_t hash() const = 0;
  virtual std::string description() const = 0;
};

class ZRBAccountID : public SRLAccountID, public NSSecureCoding {};
class XLMAccountId : public virtual ZRBAccountID {};

class ZRBEmailAccountID : public virtual ZRBAccountID {
 public:
  virtual std::string email() const = 0;
};

class ZRBHollinAccountID : public virtual ZRBAccountID {
 public:
  virtual std::string hollinID() const = 0;
};

class ZRBNoAccountID : public virtual ZRBAccountID {};

class XLMEmailAccountId : public XLMAccountId, public ZRBEmailAccountID {
 public:
  // Keeps any text, unchecked.
  static std::shared_ptr<XLMEmailAccountId> initWithEmail(std::string email);
  // Null, without a report, when the archive holds no address or an empty one.
  static std::shared_ptr<XLMEmailAccountId> initWithCoder(NSCoder* coder);
  static std::string className() { return "XLMEmailAccountId"; }
  static bool supportsSecureCoding() { return true; }

  std::string identifier() const override { return email_; }
  std::string email() const override { return email_; }
  std::shared_ptr<SRLAccountID> copy() const override;  // a new, equal object
  // Another XLMEmailAccountId (or subclass) with the same identifier.
  bool isEqual(const SRLAccountID* other) const override;
  uint64_t hash() const override;
  std::string description() const override;  // "Email AccountId: <email>"
  void encodeWithCoder(NSCoder* coder) const override;
  std::string classForCoder() const override { return className(); }

  explicit XLMEmailAccountId(std::string email) : email_(std::move(email)) {}

 private:
  std::string email_;
};

class XLMHollinAccountId : public ZRBHollinAccountID, public XLMAccountId {
 public:
  // Keeps any text, unchecked.
  static std::shared_ptr<XLMHollinAccountId> initWithHollinId(std::string hollinId);
  // Null after the fault report "Invalid hollin id found in archive" when the archive holds no
  // id or an empty one.
  static std::shared_ptr<XLMHollinAccountId> initWithCoder(NSCoder* coder);
  static std::string className() { return "XLMHollinAccountId"; }
  static bool supportsSecureCoding() { return true; }

  std::string identifier() const override { return hollin_id_; }
  std::string hollinId() const { return hollin_id_; }
  std::string hollinID() const override { return hollin_id_; }
  std::shared_ptr<SRLAccountID> copy() const override;  // itself
  // Any ZRBHollinAccountID whose identifier and hollinID both equal this identifier.
  bool isEqual(const SRLAccountID* other) const override;
  uint64_t hash() const override;  // the identifier's hash plus 2657
  std::string description() const override;  // "Hollin AccountId: <id>"
  void encodeWithCoder(NSCoder* coder) const override;
  std::string classForCoder() const override { return className(); }

  explicit XLMHollinAccountId(std::string hollinId) : hollin_id_(std::move(hollinId)) {}

 private:
  std::string hollin_id_;
};

class XLMPhoneAccountId : public XLMAccountId {
 public:
  // Null after the fault report "|phoneNumber| cannot be nil/empty" for an empty number.
  static std::shared_ptr<XLMPhoneAccountId> initWithPhoneNumber(std::string phoneNumber);
  // Null, without a report, when the archive holds no number or an empty one.
  static std::shared_ptr<XLMPhoneAccountId> initWithCoder(NSCoder* coder);
  static std::string className() { return "XLMPhoneAccountId"; }
  static bool supportsSecureCoding() { return true; }

  std::string identifier() const override { return phone_number_; }
  std::string phoneNumber() const { return phone_number_; }
  std::shared_ptr<SRLAccountID> copy() const override;  // a new, equal object
  // Another XLMPhoneAccountId (or subclass) with the same identifier.
  bool isEqual(const SRLAccountID* other) const override;
  uint64_t hash() const override;
  std::string description() const override;  // "Phone AccountId: <number>"
  void encodeWithCoder(NSCoder* coder) const override;
  std::string classForCoder() const override { return className(); }

  explicit XLMPhoneAccountId(std::string phoneNumber) : phone_number_(std::move(phoneNumber)) {}

 private:
  std::string phone_number_;
};

class XLMNoAccountId : public XLMAccountId, public ZRBNoAccountID {
 public:
  // The one no-account value of the process.
  static std::shared_ptr<XLMNoAccountId> sharedInstance();
  // The shared instance; an archive of it holds nothing.
  static std::shared_ptr<XLMNoAccountId> initWithCoder(NSCoder* coder) { return sharedInstance(); }
  static std::string className() { return "XLMNoAccountId"; }
  static bool supportsSecureCoding() { return true; }

  std::string identifier() const override { return "NO_ACCOUNT"; }
  std::shared_ptr<SRLAccountID> copy() const override;  // itself
  bool isEqual(const SRLAccountID* other) const override { return other == this; }
  uint64_t hash() const override { return 6389; }
  std::string description() const override { return "No Account Id"; }
  void encodeWithCoder(NSCoder* coder) const override {}
  std::string classForCoder() const override { return className(); }

 private:
  struct Private {};

 public:
  explicit XLMNoAccountId(Private) {}
};

#endif  // INFRA_ACCOUNT_ID_H_
