// The pure readers of EDID blobs, id lists, udev partition facts, virtualization markers and the
// package formats outside dpkg.
#include "DeviceSources.h"

#include <gtest/gtest.h>

#include "TempRoot.h"

namespace kn::devsrc {
namespace {

const std::string kFixtures = std::string(KN_AUDIT_FIXTURES) + "/devices";

TEST(EdidTest, ReadsNameSerialDateAndPreferredMode) {
  const auto dell = parseEdid(test::readBytes(kFixtures + "/edid/dell-u2415.bin"));
  ASSERT_TRUE(dell);
  EXPECT_EQ(dell->manufacturerId, "DEL");
  EXPECT_EQ(pnpManufacturerName(dell->manufacturerId), "Dell");
  EXPECT_EQ(dell->productCode, 0xA0C1u);
  EXPECT_EQ(dell->name, "DELL U2415");
  EXPECT_EQ(dell->serial(), "CFV9N5A0BWXL");  // the text descriptor wins over the number
  EXPECT_EQ(dell->yearOfManufacture, 2016);
  EXPECT_EQ(dell->weekOfManufacture, 12);
  EXPECT_EQ(dell->preferredWidth, 1920);
  EXPECT_EQ(dell->preferredHeight, 1200);

  // A laptop panel: no name descriptor, only the numeric serial, a model year.
  const auto panel = parseEdid(test::readBytes(kFixtures + "/edid/auo-panel.bin"));
  ASSERT_TRUE(panel);
  EXPECT_EQ(panel->manufacturerId, "AUO");
  EXPECT_EQ(panel->name, "");
  EXPECT_EQ(panel->serial(), "74565");
  EXPECT_EQ(panel->weekOfManufacture, 255);
  EXPECT_EQ(panel->yearOfManufacture, 2019);
  EXPECT_EQ(panel->preferredWidth, 1920);
  EXPECT_EQ(panel->preferredHeight, 1080);
  EXPECT_EQ(pnpManufacturerName("ZZZ"), "ZZZ");
}

TEST(EdidTest, RefusesWhatIsNoIntactEdid) {
  const std::string good = test::readBytes(kFixtures + "/edid/dell-u2415.bin");
  std::string badChecksum = good;
  badChecksum[127] = static_cast<char>(badChecksum[127] + 1);
  std::string badHeader = good;
  badHeader[0] = 1;
  for (const std::string& blob : {std::string(), good.substr(0, 127), badChecksum, badHeader})
    EXPECT_FALSE(parseEdid(blob)) << blob.size();
  // Extension blocks after the base block are allowed.
  EXPECT_TRUE(parseEdid(good + std::string(128, '\0')));
}

TEST(IdListTest, FindsVendorAndDeviceNamesInOnePass) {
  const std::string pciIds = test::readBytes(kFixtures + "/pci.ids");
  const auto found =
      lookupIds(pciIds, {{0x1af4, 0x1041}, {0x8086, 0x100e}, {0x8086, 0x0d57}, {0x10de, 0x1234}});
  ASSERT_TRUE(found.count({0x1af4, 0x1041}));
  EXPECT_EQ(found.at({0x1af4, 0x1041}).vendor, "Red Hat, Inc.");
  EXPECT_EQ(found.at({0x1af4, 0x1041}).device, "Virtio 1.0 network device");
  // A subsystem line below the device ("\t\t1028 0002 ...") is not taken for a device.
  EXPECT_EQ(found.at({0x8086, 0x100e}).device, "82540EM Gigabit Ethernet Controller");
  // A known vendor with an unknown device; an unknown vendor is absent.
  EXPECT_EQ(found.at({0x8086, 0x0d57}).vendor, "Intel Corporation");
  EXPECT_FALSE(found.at({0x8086, 0x0d57}).device);
  EXPECT_FALSE(found.count({0x10de, 0x1234}));
  // The class list after the vendors ("C 02", "\t00 Ethernet controller") names no device.
  EXPECT_TRUE(lookupIds(pciIds, {{0x0c02, 0x0000}}).empty());

  const auto usb = lookupIds(test::readBytes(kFixtures + "/usb.ids"), {{0x046d, 0xc52b}, {0x1d6b, 0x0003}});
  EXPECT_EQ(usb.at({0x046d, 0xc52b}).device, "Unifying Receiver");
  EXPECT_EQ(usb.at({0x1d6b, 0x0003}).vendor, "Linux Foundation");
}

// The names found through the index (each vendor's block cut out of the file) are those found in the
// whole text, however the bytes arrive; the block of a vendor is only its own lines.
TEST(IdListTest, IndexGivesTheNamesOfTheWholeTextInAnyPieces) {
  const std::string crlf =
      "# comment\r\n1af4  Red Hat, Inc.\r\n\t1041  Virtio network\r\n\r\n# note\r\n\t1042  Virtio block\r\n"
      "1AF4  Duplicate\r\n8086  Intel Corporation\r\n\t\t1028 100e  Not a device\r\n\t100e  82540EM";
  const std::set<std::pair<unsigned, unsigned>> wanted = {
      {0x1af4, 0x1041}, {0x1af4, 0x1042}, {0x8086, 0x100e}, {0x8086, 0x0d57},
      {0x10de, 0x1234}, {0x046d, 0xc52b}, {0x1d6b, 0x0003}, {0x1028, 0x100e}};
  for (const std::string& text :
       {test::readBytes(kFixtures + "/pci.ids"), test::readBytes(kFixtures + "/usb.ids"), crlf}) {
    const auto whole = lookupIds(text, wanted);
    for (const size_t piece : {size_t{1}, size_t{5}, size_t{4096}, text.size()}) {
      IdsIndex index;
      for (size_t pos = 0; pos < text.size(); pos += piece)
        index.feed(std::string_view(text).substr(pos, piece));
      index.finish();
      std::map<std::pair<unsigned, unsigned>, IdNames> found;
      for (const auto& w : wanted)
        if (const IdsIndex::Block* b = index.find(w.first)) {
          ASSERT_LE(b->offset, b->lineEnd);
          ASSERT_LE(b->lineEnd, b->end);
          ASSERT_LE(b->end, text.size());
          found.merge(lookupIds(text.substr(b->offset, b->end - b->offset), {w}));
        }
      ASSERT_EQ(found.size(), whole.size()) << piece;
      for (const auto& [id, names] : whole) {
        EXPECT_EQ(found.at(id).vendor, names.vendor) << id.first << " " << piece;
        EXPECT_EQ(found.at(id).device, names.device) << id.second << " " << piece;
      }
    }
  }
  IdsIndex index;
  index.feed(crlf);
  index.finish();
  ASSERT_TRUE(index.find(0x1af4));
  EXPECT_EQ(crlf.substr(index.find(0x1af4)->offset, index.find(0x1af4)->lineEnd - index.find(0x1af4)->offset),
            "1af4  Red Hat, Inc.\r");  // the first line of an id; the later "1AF4" is ignored
  EXPECT_FALSE(index.find(0x1028));    // a subsystem line is no vendor
  EXPECT_EQ(index.size(), 2u);
}

TEST(IdListTest, ClassesAndHexText) {
  EXPECT_EQ(pciPnpClass(0x020000), "Net");
  EXPECT_EQ(pciPnpClass(0x010601), "HDC");
  EXPECT_EQ(pciPnpClass(0x0c0330), "USB");
  EXPECT_EQ(pciPnpClass(0xffff00), std::nullopt);
  EXPECT_EQ(usbPnpClass(0x03), "HIDClass");
  EXPECT_EQ(usbPnpClass(0x09), "USB");
  EXPECT_EQ(parseHex("0x8086\n"), 0x8086u);
  EXPECT_EQ(parseHex("1AF4"), 0x1af4u);
  EXPECT_EQ(parseHex("0x10000", 0xFFFF), std::nullopt);
  EXPECT_EQ(parseHex("0x"), std::nullopt);
  EXPECT_EQ(parseHex("12g4"), std::nullopt);
  EXPECT_EQ(parseHex("123456789"), std::nullopt);
}

TEST(PartitionTest, TypeNamesAndBootFlag) {
  struct Case {
    const char *scheme, *type, *flags, *name;
    bool bootable;
  } cases[] = {
      {"gpt", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "", "GPT: System", true},
      {"gpt", "0fc63daf-8483-4772-8e79-3d69d8477de4", "", "GPT: Linux filesystem", false},
      {"gpt", "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", "", "GPT: Basic Data", false},
      {"gpt", "00000000-1111-2222-3333-444444444444", "", "GPT: Unknown", false},
      {"dos", "0x7", "0x80", "Installable File System", true},
      {"dos", "0x83", "0x0", "Linux", false},
      {"dos", "0x5", "", "Extended Partition", false},
      {"dos", "0x99", "0x80", "Unknown", true},
      {"", "0x83", "0x80", "Unknown", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(partitionTypeName(c.scheme, c.type), c.name) << c.scheme << " " << c.type;
    EXPECT_EQ(partitionBootable(c.scheme, c.type, c.flags), c.bootable) << c.scheme << " " << c.type;
  }
  const auto props = parseUdevProperties("S:disk/by-uuid/x\nE:ID_PART_ENTRY_TYPE=0x83\nE:BROKEN\nE:A=b=c\n");
  EXPECT_EQ(props.at("ID_PART_ENTRY_TYPE"), "0x83");
  EXPECT_EQ(props.at("A"), "b=c");
  EXPECT_EQ(props.size(), 2u);
}

TEST(VirtualizationTest, DecidesAsTheSystemdToolDoes) {
  struct Case {
    const char* what;
    VirtFacts facts;
    const char *vm, *container, *kind;
  };
  const auto facts = [](auto&& set) {
    VirtFacts f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"bare metal", {}, "", "", "none"},
      {"docker on bhyve", facts([](VirtFacts& f) {
         f.dockerEnv = true;
         f.cpuidVendor = "bhyve bhyve ";
         f.hypervisorFlag = true;
       }),
       "bhyve", "docker", "docker"},
      {"podman", facts([](VirtFacts& f) { f.containerEnv = true; }), "", "podman", "podman"},
      {"lxc told its init", facts([](VirtFacts& f) { f.pid1Container = "lxc"; }), "", "lxc", "lxc"},
      {"nspawn's file wins over the markers", facts([](VirtFacts& f) {
         f.containerManagerFile = "systemd-nspawn\n";
         f.dockerEnv = true;
       }),
       "", "systemd-nspawn", "systemd-nspawn"},
      {"a manager name that is no identifier", facts([](VirtFacts& f) { f.pid1Container = "x;rm -rf /"; }),
       "", "container-other", "container-other"},
      {"WSL", facts([](VirtFacts& f) { f.osRelease = "5.15.90.1-microsoft-standard-WSL2"; }), "", "wsl",
       "wsl"},
      {"KVM by its signature", facts([](VirtFacts& f) {
         f.cpuidVendor = "KVMKVMKVM";
         f.dmi = {"QEMU", "Standard PC (Q35 + ICH9, 2009)"};
       }),
       "kvm", "", "kvm"},
      {"QEMU by DMI alone", facts([](VirtFacts& f) { f.dmi = {"QEMU"}; }), "qemu", "", "qemu"},
      {"VMware", facts([](VirtFacts& f) {
         f.dmi = {"VMware, Inc.", "VMware Virtual Platform"};
       }),
       "vmware", "", "vmware"},
      {"Hyper-V by DMI", facts([](VirtFacts& f) {
         f.dmi = {"Microsoft Corporation", "Virtual Machine"};
       }),
       "microsoft", "", "microsoft"},
      {"a Surface is no virtual machine", facts([](VirtFacts& f) {
         f.dmi = {"Microsoft Corporation", "Surface Pro"};
       }),
       "", "", "none"},
      {"VirtualBox DMI beats the KVM signature", facts([](VirtFacts& f) {
         f.dmi = {"innotek GmbH"};
         f.cpuidVendor = "KVMKVMKVM";
       }),
       "oracle", "", "oracle"},
      {"Firecracker", facts([](VirtFacts& f) { f.dmi = {"Firecracker"}; }), "firecracker", "", "firecracker"},
      {"Xen guest", facts([](VirtFacts& f) { f.sysHypervisorType = "xen\n"; }), "xen", "", "xen"},
      {"Xen control domain", facts([](VirtFacts& f) {
         f.sysHypervisorType = "xen";
         f.xenControlDomain = true;
       }),
       "", "", "none"},
      {"an unknown hypervisor", facts([](VirtFacts& f) { f.hypervisorFlag = true; }), "vm-other", "",
       "vm-other"},
  };
  for (const Case& c : cases) {
    const Virtualization v = detectVirtualization(c.facts);
    EXPECT_EQ(v.vm, c.vm) << c.what;
    EXPECT_EQ(v.container, c.container) << c.what;
    EXPECT_EQ(v.kind(), c.kind) << c.what;
  }
}

// The header blobs of the fixture's rpm database (rpmdb.sqlite, made by rpm), in its order.
std::vector<std::string> fixtureRpmHeaders() {
  return {test::readBytes(kFixtures + "/rpm-header-1.bin"), test::readBytes(kFixtures + "/rpm-header-2.bin")};
}

TEST(RpmHeaderTest, ReadsTheTagsOfARealHeader) {
  const auto blobs = fixtureRpmHeaders();
  ASSERT_EQ(blobs.size(), 2u);
  const auto sample = parseRpmHeader(blobs[1]);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->source, "rpm");
  EXPECT_EQ(sample->name, "kn-sample");
  EXPECT_EQ(sample->version, "2:1.2.3-4");  // epoch:version-release
  EXPECT_EQ(sample->publisher, "Kestrane Test Vendor");
  EXPECT_EQ(sample->url, "https://example.org/kn-sample");
  EXPECT_EQ(sample->summary, "Sample package of the audit tests");
  EXPECT_EQ(sample->architecture, "noarch");
  EXPECT_TRUE(sample->installTime);
  EXPECT_EQ(sample->installDate().size(), 8u);
  const auto other = parseRpmHeader(blobs[0]);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->version, "0.9-1.el9");  // no epoch
  EXPECT_EQ(other->publisher, "");
}

TEST(RpmHeaderTest, NoCutOrDamagedHeaderIsReadPastItsEnd) {
  const std::string blob = fixtureRpmHeaders().at(1);
  // Every cut: either refused or read within its bytes (the sanitizers watch the reads).
  for (size_t n = 0; n < blob.size(); ++n) {
    const std::string cut = blob.substr(0, n);
    const auto p = parseRpmHeader(cut);
    if (p) {
      EXPECT_FALSE(p->name.empty());
    }
  }
  std::string huge = blob;
  huge[0] = huge[1] = huge[2] = huge[3] = '\x7f';  // an index count past the blob
  EXPECT_FALSE(parseRpmHeader(huge));
  // The data store without a single NUL: strings that never end are not taken.
  std::string unterminated = blob;
  const size_t entries = static_cast<unsigned char>(blob[3]) | static_cast<unsigned char>(blob[2]) << 8;
  for (size_t i = 8 + entries * 16; i < unterminated.size(); ++i)
    if (unterminated[i] == '\0') unterminated[i] = 'x';
  EXPECT_FALSE(parseRpmHeader(unterminated));
}

TEST(SnapAndFlatpakTest, ReadTheirMetadata) {
  const auto snap = parseSnapYaml(
      "name: hello-world\nversion: '6.4'\nsummary: The 'hello-world' of snaps\napps:\n  env:\n    command: "
      "bin/env\n"
      "  name: nested-is-ignored\n");
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->name, "hello-world");
  EXPECT_EQ(snap->version, "6.4");
  EXPECT_EQ(snap->summary, "The 'hello-world' of snaps");
  EXPECT_FALSE(parseSnapYaml("version: 1\n"));

  const auto app = flatpakPackage(
      "org.example.Editor", "x86_64", "stable",
      "<component><id>org.example.Editor</id><name>Editor</name><summary xml:lang=\"de\">Editor</summary>"
      "<summary>Edits &amp; saves text</summary><developer_name>Example &lt;Team&gt;</developer_name>"
      "<url type=\"bugtracker\">https://example.org/bugs</url><url "
      "type=\"homepage\">https://example.org</url>"
      "<releases><release version=\"3.1\" date=\"2024-01-01\"/><release "
      "version=\"3.0\"/></releases></component>");
  EXPECT_EQ(app.source, "flatpak");
  EXPECT_EQ(app.name, "org.example.Editor");
  EXPECT_EQ(app.version, "3.1");
  EXPECT_EQ(app.summary, "Edits & saves text");
  EXPECT_EQ(app.publisher, "Example <Team>");
  EXPECT_EQ(app.url, "https://example.org");
  // Without AppStream data the branch stands for the version.
  EXPECT_EQ(flatpakPackage("org.example.Bare", "aarch64", "beta", "").version, "beta");
}

}  // namespace
}  // namespace kn::devsrc
