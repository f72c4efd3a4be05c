// The thread's last error and the message texts of every number the platform sets.
#include "platform/core/api_guard.h"
#include "platform/core/last_error.h"

#include <cstdlib>
#include <cstring>

namespace vexorcsp {
namespace {

thread_local DWORD t_last_error = 0;

struct ErrorText {
  DWORD code;
  const char* text;
};

// Texts as Windows gives them in its English message table.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {111, "The file name is too long."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {1223, "The operation was canceled by the user."},
    {0x80070057, "The parameter is incorrect."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80090001, "Bad UID."},
    {0x80090002, "Bad Hash."},
    {0x80090003, "Bad Key."},
    {0x80090004, "Bad Length."},
    {0x80090005, "Bad Data."},
    {0x80090006, "Invalid Signature."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000A, "Invalid type specified."},
    {0x8009000B, "Key not valid for use in specified state."},
    {0x8009000D, "Key does not exist."},
    {0x8009000F, "Object already exists."},
    {0x80090010, "Access denied."},
    {0x80090016, "Keyset does not exist"},
    {0x80090020, "An internal error occurred."},
    {0x80090007, "Bad Version of provider."},
    {0x8009000C, "Hash not valid for use in specified state."},
    {0x8009000E, "Insufficient memory available for the operation."},
    {0x80090014, "Invalid provider type specified."},
    {0x80090015, "Bad Public Key."},
    {0x80090017, "Provider type not defined."},
    {0x80090019, "The keyset is not defined."},
    {0x8009001F, "The Keyset parameter is invalid."},
    {0x80090022, "Provider could not perform the action since the context was acquired as silent."},
    {0x8010006B, "The card cannot be accessed because the wrong PIN was presented."},
    {0x80091001, "An error occurred while performing an operation on a cryptographic message."},
    {0x80091002, "Unknown cryptographic algorithm."},
    {0x80091003, "The object identifier is poorly formatted."},
    {0x80091004, "Invalid cryptographic message type."},
    {0x80091005, "Unexpected cryptographic message encoding."},
    {0x80091006, "The cryptographic message does not contain an expected authenticated attribute."},
    {0x80091007, "The hash value is not correct."},
    {0x80091008, "The index value is not valid."},
    {0x80091009, "The content of the cryptographic message has already been decrypted."},
    {0x8009100A, "The content of the cryptographic message has not been decrypted yet."},
    {0x8009100B, "The enveloped-data message does not contain the specified recipient."},
    {0x8009100C, "Invalid control type."},
    {0x8009100D, "Invalid issuer and/or serial number."},
    {0x8009100E, "Cannot find the original signer."},
    {0x8009100F, "The cryptographic message does not contain all of the requested attributes."},
    {0x80091010, "The streamed cryptographic message is not ready to return data."},
    {0x80091011, "The streamed cryptographic message requires more data to complete the decode operation."},
    {0x80092001, "The length specified for the output data was insufficient."},
    {0x80092002, "An error occurred during encode or decode operation."},
    {0x80092003, "An error occurred while reading or writing to a file."},
    {0x80092004, "Cannot find object or property."},
    {0x80092005, "The object or property already exists."},
    {0x80092007, "The specified certificate is self signed."},
    {0x80092008, "The previous certificate or certificate revocation list context was deleted."},
    {0x80092009, "Cannot find the requested object."},
    {0x8009200A, "The certificate does not have a property that references a private key."},
    {0x8009200B, "The certificate does not have a property that references a private key."},
    {0x8009200C, "Cannot find the certificate and private key for decryption."},
    {0x8009200D, "Cannot find the certificate and private key to use for decryption."},
    {0x8009200E, "The message does not contain a signer."},
    {0x8009200F, "The operation was not completed because the store is still open."},
    {0x80092010, "The certificate is revoked."},
    {0x80092012, "The revocation function was unable to check revocation for the certificate."},
    {0x80092013, "The revocation function was unable to check revocation because the revocation server was offline."},
    {0x80092022, "The string contains a non-printable character."},
    {0x80092023, "The string contains an invalid X500 name attribute key, oid, value or delimiter."},
    {0x80092024, "The dwValueType for the CERT_NAME_VALUE is not one of the character strings."},
    {0x8009202B, "No trusted signer was found."},
    {0x80093102, "ASN1 unexpected end of data."},
    {0x80093103, "ASN1 corrupted data."},
    {0x80093104, "ASN1 value too large."},
    {0x8009310B, "ASN1 bad tag value met."},
    {0x8009310C, "ASN1 bad choice value."},
    {0x80093202, "ASN1 end of data expected."},
    {0x800B0101, "A required certificate is not within its validity period when verifying against the current system clock or the timestamp in the signed file."},
    {0x800B0109, "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider."},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority."},
};

}  // namespace

const char* ErrorMessageText(DWORD error) {
  for (const ErrorText& e : kErrorTexts)
    if (e.code == error) return e.text;
  return "";
}

}  // namespace vexorcsp

extern "C" {

DWORD GetLastError(void) { return vexorcsp::t_last_error; }

void SetLastError(DWORD dwErrCode) { vexorcsp::t_last_error = dwErrCode; }

DWORD FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                     void*) {
  return vexorcsp::ApiGuard<DWORD>(0, [&]() -> DWORD {
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || lpBuffer == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const char* text = vexorcsp::ErrorMessageText(dwMessageId);
    if (*text == '\0') {
      SetLastError(317);  // ERROR_MR_MID_NOT_FOUND
      return 0;
    }
    const size_t len = std::strlen(text) + 2;  // with "\r\n"
    char* out = lpBuffer;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
      out = static_cast<char*>(std::malloc(len + 1));
      if (out == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      }
      *reinterpret_cast<char**>(lpBuffer) = out;
    } else if (nSize < len + 1) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(out, text, len - 2);
    std::memcpy(out + len - 2, "\r\n", 3);
    return static_cast<DWORD>(len);
  });
}

// Cannot fail and cannot throw.
void* LocalFree(void* hMem) {
  std::free(hMem);
  return nullptr;
}

}  // extern "C"
