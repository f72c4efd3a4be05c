// The recipient of an enveloped message whose private key is in the personal store, among
// key-transport and key-agreement recipients, and the platform's decryption with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stores/auto_handle.h"
#include "vexor/platform.h"
#include "vexor/platform_msg.h"

class InstanceContext;

class RecipientKey {
 public:
  bool found() const { return found_; }
  // Looks at the recipients from `next` on until a key is found or the message has no
  // more recipients yet; each recipient's serial number (most significant byte first) is
  // added to `serials`. 0, or the code of a reported failure.
  int32_t Search(InstanceContext& ctx, HCRYPTMSG msg, DWORD& next, std::vector<std::string>& serials);
  // CMSG_CTRL_DECRYPT or CMSG_CTRL_KEY_AGREE_DECRYPT with the key found.
  bool Decrypt(HCRYPTMSG msg);

 private:
  // Key agreement: the encrypted keys of one recipient info; true when one is usable.
  int32_t TryKeyAgree(InstanceContext& ctx, HCRYPTMSG msg, DWORD index, std::vector<std::string>& serials);
  bool TakeKey(InstanceContext& ctx, const CERT_INFO& id, HCRYPTPROV& prov, int32_t& rc);

  bool found_ = false;
  bool key_agree_ = false;
  auto_prov owned_;
  CMSG_CTRL_DECRYPT_PARA trans_{sizeof(CMSG_CTRL_DECRYPT_PARA), 0, AT_KEYEXCHANGE, 0};
  CMSG_CTRL_KEY_AGREE_DECRYPT_PARA agree_{};
  std::vector<BYTE> agree_info_;  // the CMSG_CMS_RECIPIENT_INFO agree_ points into
};

std::string SerialText(const CRYPT_INTEGER_BLOB& serial);
