#include "stores/store_ids.h"

#include "text/text.h"
#include "support/format.h"
#include "vexor/vexor.h"

std::string GetStoreName(unsigned long id) {
  switch (id) {
    case CST_SST:
      return "certstore.sst";
    case CST_MY:
      return text::Utf8ToCp1251("Личные");
    case CST_ROOT:
      return text::Utf8ToCp1251("Доверенные корневые центры сертификации");
    case CST_HOST:
    case CST_EXTERNAL:
      return text::Utf8ToCp1251("БД");
    case 0xFFFFFFFFul:
      return std::string();
    default:
      // The number is printed as the 32-bit value it is on the interface.
      return Format(text::Utf8ToCp1251("Не известный тип хранилища (%d)").c_str(), static_cast<int>(id));
  }
}
