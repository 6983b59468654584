// The class table: the shipped class list, and the class-by-class description in WMIMapping.md.
#include "InstanceClasses.h"

#include <gtest/gtest.h>

#include <set>

#include "InventoryPolicy.h"
#include "KNLib.h"
#include "KNResources.h"
#include "TempRoot.h"

namespace kn {
namespace {

TEST(InstanceClasses, AreExactlyTheShippedClassList) {
  const std::vector<std::string> shipped = splitLines(findResource("WMIOBJ_META"));
  // The 30 classes first, then the extended inventory.
  ASSERT_EQ(shipped.size(), 35u);
  for (size_t i = 0; i < shipped.size(); ++i)
    EXPECT_EQ(isExtendedInventoryClass(shipped[i]), i >= 30) << shipped[i];
  EXPECT_EQ(knownInstanceClasses(), shipped);
  EXPECT_EQ(findInstanceClass("win32_bios"), findInstanceClass("Win32_BIOS"));
  EXPECT_EQ(findInstanceClass("Win32_Bios")->name, std::string("Win32_Bios"));
  EXPECT_EQ(findInstanceClass("Win32_Bio"), nullptr);
}

// The rows of WMIMapping.md's class tables ("| `Win32_...` | ...") name the table's classes, in its
// order: a class added, renamed or dropped on one side only fails here.
TEST(InstanceClasses, AreTheClassesOfTheMappingDocument) {
  const std::string text = test::readBytes(std::string(KN_AUDIT_SOURCE) + "/WMIMapping.md");
  ASSERT_FALSE(text.empty());
  std::vector<std::string> documented;
  for (const std::string& line : splitLines(text)) {
    if (!line.starts_with("| `")) continue;
    const size_t end = line.find('`', 3);
    if (end != std::string::npos) documented.push_back(line.substr(3, end - 3));
  }
  EXPECT_EQ(documented, knownInstanceClasses());
}

// A property declared twice would take every value in its first place and leave the second null.
TEST(InstanceClasses, DeclareEachPropertyOnce) {
  for (const ClassDef& def : instanceClasses()) {
    std::set<std::string> names;
    for (const PropertyDef& p : def.properties)
      EXPECT_TRUE(names.insert(p.name).second) << def.name << "." << p.name;
    EXPECT_FALSE(def.properties.empty()) << def.name;
  }
}

}  // namespace
}  // namespace kn
