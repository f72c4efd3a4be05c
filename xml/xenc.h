// XML-Enc with GOST algorithms: the document element replaced by an EncryptedData (Type
// Element) holding it encrypted with GOST 28147-89 (CFB, CryptoPro key meshing; the
// CipherValue is the IV, then the ciphertext) and one EncryptedKey with the session key
// transported to the recipient (the DER GostR3410-KeyTransport of RFC 4490) and the
// recipient's certificate.
#pragma once

#include "vexor/platform.h"
#include "xml/document.h"

namespace vexorxml {

// 0 or a VEXORXML_ code; the encrypted document in `doc`.
int EncryptDocument(xmlDoc* doc, PCCERT_CONTEXT recipient);

// With the key of a recipient certificate installed in My; 0 or a code, the decrypted
// document in `doc`.
int DecryptDocument(xmlDoc* doc);

}  // namespace vexorxml
