// What every library command of the tool does: load the library, create the operation
// object, initialise it, run one operation and turn its result into an exit status.
#pragma once

#include <functional>
#include <string>

#include "tools/vexor/args.h"
#include "tools/vexor/library.h"

class Session {
 public:
  // Options read: --library, --workdir (default: WorkingDirectory), --verbose. A host
  // callback makes the library ask the host first (its own certificate search, listing and
  // import); without one (`with_callback` false) the library works alone and its log lines
  // are not seen.
  explicit Session(const Args& args, bool with_callback = true);
  bool ok() const { return object_ != nullptr; }
  IVexor& vexor() { return *object_; }
  const ToolCallback& callback() const { return callback_; }
  // Where the library was loaded from (its sibling libraries lie beside it).
  const std::string& libraryPath() const { return library_.path(); }

  // Runs one library call: a result other than 0 is printed with its text on standard
  // error; an exception from the library prints its code and text. Returns the result.
  int32_t Run(const std::string& what, const std::function<int32_t()>& call);

 private:
  VexorLibrary library_;
  ToolCallback callback_;
  VexorLibrary::Object object_;
};

// The party an option names: --thumb, --cn, --email, or --signer/--party guessed from its
// shape (an at sign: e-mail; 40 hex digits, spaces allowed: thumbprint; else a common name).
// Texts are converted to Windows-1251.
CertPartyParam PartyFromText(const std::string& text);

// Prints "vexor: <message>" on standard error.
void PrintError(const std::string& message);
