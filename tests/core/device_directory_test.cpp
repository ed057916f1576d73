#include "core/device_directory.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "platform/sim/sim_audio_hardware.h"

namespace velomar {
namespace {
using platform::AudioObjectID;
using sim::SimAudioHardware;
using sim::SimDevice;

using Ids = std::vector<AudioObjectID>;  // devices in creation order

struct DirectoryCase {
    const char* name;
    std::function<void(SimAudioHardware&, Ids&)> setup;
    std::vector<std::string> listed;  // "uid|name" with "*" appended for the default
    std::vector<std::pair<std::string, int>> lookups;  // UID → index into Ids, -1 = absent
    std::vector<std::int64_t> channels;                // inputChannelCount of each created device
};

void add(SimAudioHardware& hw, Ids& ids, SimDevice d) { ids.push_back(hw.addDevice(std::move(d))); }

const std::vector<DirectoryCase> kCases = {
    {"no devices", [](SimAudioHardware&, Ids&) {}, {}, {{"mic", -1}, {"", -1}}, {}},
    {"output-only devices are neither listed nor found",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::output("spk", "Speakers", {2}));
         add(hw, ids, SimDevice::input("zero", "Zero channels", {0, 0}));
         add(hw, ids, SimDevice::input("mic", "Mic", {1}));
     },
     {"mic|Mic"},
     {{"spk", -1}, {"zero", -1}, {"mic", 2}},
     {0, 0, 1}},
    {"streams of 1 and 2 channels count 3",
     [](SimAudioHardware& hw, Ids& ids) { add(hw, ids, SimDevice::input("usb", "USB", {1, 2})); },
     {"usb|USB"},
     {{"usb", 0}},
     {3}},
    {"unreadable name becomes the UID, unreadable UID drops the device",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("noname", "hidden", {1}));
         add(hw, ids, SimDevice::input("nouid", "No UID", {1}));
         hw.makeUnreadable(ids[0], platform::selector::name);
         hw.makeUnreadable(ids[1], platform::selector::deviceUID);
     },
     {"noname|noname"},
     {{"noname", 0}, {"nouid", -1}},
     {1, 1}},
    {"unreadable stream configuration means no input",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {2}));
         add(hw, ids, SimDevice::input("b", "B", {2}));
         hw.makeUnreadable(ids[0], platform::selector::streamConfiguration);
         sim::Fault f = sim::Fault::failing("getPropertyData", -1);  // size readable, data not
         f.object = ids[1];
         f.selector = platform::selector::streamConfiguration;
         hw.injectFault(f);
     },
     {},
     {{"a", -1}, {"b", -1}},
     {0, 0}},
    {"default marked only when present and readable",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         add(hw, ids, SimDevice::input("b", "B", {1}));
         hw.setDefaultInputDevice(ids[1]);
     },
     {"a|A", "b|B*"},
     {},
     {1, 1}},
    {"no default input device",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         add(hw, ids, SimDevice::input("b", "B", {1}));
     },
     {"a|A", "b|B"},
     {},
     {1, 1}},
    {"default whose UID cannot be read marks nothing",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         hw.setDefaultInputDevice(ids[0]);
         sim::Fault f = sim::Fault::failing("getStringProperty", -1);
         f.object = ids[0];
         f.selector = platform::selector::deviceUID;
         f.times = 1;  // only the default's own read fails
         hw.injectFault(f);
     },
     {"a|A"},
     {},
     {1}},
    {"default read failing marks nothing",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         hw.setDefaultInputDevice(ids[0]);
         hw.makeUnreadable(platform::kSystemObject, platform::selector::defaultInputDevice);
     },
     {"a|A"},
     {},
     {1}},
    {"UID match is exact",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("BuiltInMic", "Built-in", {1}));
         add(hw, ids, SimDevice::input("caf\xC3\xA9", "Cafe", {1}));
     },
     {"BuiltInMic|Built-in", "caf\xC3\xA9|Cafe"},
     {{"builtinmic", -1}, {"BuiltInMic ", -1}, {"BuiltIn", -1}, {"BuiltInMic", 0}, {"caf\xC3\xA9", 1}},
     {1, 1}},
    {"first device with input wins among equal UIDs",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::output("dup", "Out", {2}));
         add(hw, ids, SimDevice::input("dup", "In 1", {1}));
         add(hw, ids, SimDevice::input("dup", "In 2", {1}));
     },
     {"dup|In 1", "dup|In 2"},
     {{"dup", 1}},
     {0, 1, 1}},
    {"system order is kept",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         add(hw, ids, SimDevice::input("b", "B", {1}));
         add(hw, ids, SimDevice::input("c", "C", {1}));
         hw.setDeviceOrder({ids[2], ids[0], ids[1]});
     },
     {"c|C", "a|A", "b|B"},
     {},
     {1, 1, 1}},
    {"list shrinking between size and read drops the missing tail",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         add(hw, ids, SimDevice::input("b", "B", {1}));
         hw.afterNextDeviceListSize([&hw, b = ids[1]] { hw.removeDevice(b); });
     },
     {"a|A"},
     {{"b", -1}},
     {1, 0}},
    {"unreadable device list",
     [](SimAudioHardware& hw, Ids& ids) {
         add(hw, ids, SimDevice::input("a", "A", {1}));
         hw.makeUnreadable(platform::kSystemObject, platform::selector::devices);
     },
     {},
     {{"a", -1}},
     {1}},
};

std::vector<std::string> describe(const std::vector<InputDeviceEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.uid + "|" + e.name + (e.isDefault ? "*" : ""));
    return out;
}

class DeviceDirectoryTable : public testing::TestWithParam<DirectoryCase> {};

TEST_P(DeviceDirectoryTable, ListsFindsAndCounts) {
    const auto& c = GetParam();
    SimAudioHardware hw;
    Ids ids;
    c.setup(hw, ids);
    DeviceDirectory directory(hw);

    EXPECT_EQ(describe(directory.inputDevices()), c.listed);
    for (const auto& [uid, index] : c.lookups) {
        auto found = directory.inputDeviceID(uid);
        if (index < 0) {
            EXPECT_EQ(found, std::nullopt) << "uid " << uid;
        } else {
            EXPECT_EQ(found, ids.at(index)) << "uid " << uid;
        }
    }
    ASSERT_EQ(c.channels.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(directory.inputChannelCount(ids[i]), c.channels[i]);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceDirectoryTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DirectoryCase>& param) {
                             std::string n;
                             for (char ch : std::string(param.param.name)) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return n;
                         });

TEST(DeviceDirectory, ShrunkListKeepsZeroEntriesAndPlainReads) {
    SimAudioHardware hw;
    auto a = hw.addDevice(SimDevice::input("a", "A", {1}, 44100));
    auto b = hw.addDevice(SimDevice::input("b", "B", {2}));
    DeviceDirectory directory(hw);
    hw.afterNextDeviceListSize([&] { hw.removeDevice(b); });
    EXPECT_EQ(directory.allDeviceIDs(), (std::vector<AudioObjectID>{a, 0}));

    EXPECT_EQ(directory.defaultInputDevice(), std::nullopt);
    hw.setDefaultInputDevice(a);
    EXPECT_EQ(directory.defaultInputDevice(), a);
    EXPECT_EQ(directory.nominalSampleRate(a), 44100.0);
    EXPECT_EQ(directory.nominalSampleRate(b), std::nullopt);
    EXPECT_EQ(directory.stringProperty(platform::selector::name, a), "A");
    EXPECT_EQ(directory.stringProperty(platform::selector::name, 0), std::nullopt);
}

}  // namespace
}  // namespace velomar
