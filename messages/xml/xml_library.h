// The sibling XML library: the one the process already has, else the one in the folder
// libvexor.so was loaded from. When there is none every entry answers 46.
#pragma once

#include "vexor/vexor_xml.h"

struct XmlLibrary {
  int (*sign)(const void*, int, const CERT_CONTEXT*, int, void**, int*);
  int (*checkSign)(const void*, int, const CERT_CONTEXT**, int*, void**, int*);
  int (*encrypt)(const void*, int, const CERT_CONTEXT*, void**, int*);
  int (*decrypt)(const void*, int, void**, int*);
  void (*freeMem)(void**);
};

// The library's entries, or the stand-ins that answer 46 (VEXORXML_UNAVAILABLE).
const XmlLibrary& GetXmlLibrary();

// Owns a result buffer of the XML library.
class XmlResult {
 public:
  XmlResult() = default;
  ~XmlResult() { GetXmlLibrary().freeMem(&data); }
  XmlResult(const XmlResult&) = delete;
  XmlResult& operator=(const XmlResult&) = delete;
  void* data = nullptr;
  int length = 0;
};
