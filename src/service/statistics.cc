// SPDX-License-Identifier: Apache-2.0
#include "service/statistics.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <utility>

#include "devlog/changer_device_logs.h"
#include "devlog/trading_statistics.h"
#include "link/command_set.h"
#include "service/opos.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kHoursPoweredCount = "HoursPoweredCount";
constexpr std::string_view kCommunicationErrorCount = "CommunicationErrorCount";
constexpr std::string_view kAllStandard = "U_";
constexpr std::string_view kAllManufacturer = "M_";

std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(',', start);
    out.push_back(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

void Element(std::string& out, std::string_view indent, std::string_view name, std::string_view value) {
  out += indent;
  out += '<';
  out += name;
  out += '>';
  out += XmlText(value);
  out += "</";
  out += name;
  out += ">\n";
}

void Entry(std::string& out, const Statistic& statistic) {
  const std::string_view tag = statistic.standard ? "Parameter" : "ManufacturerSpecific";
  out += "  <";
  out += tag;
  out += ">\n";
  Element(out, "    ", "Name", statistic.name);
  Element(out, "    ", "Value", statistic.value);
  out += "  </";
  out += tag;
  out += ">\n";
}

std::span<const devlog::TradingLogField> LayoutOf(ModelCode model) {
  return IsKrt07Family(model) ? devlog::Krt07TradingLayout() : devlog::Krt02TradingLayout();
}

// The manufacturer-specific names of |model|'s trading log.
bool IsDeviceStatistic(ModelCode model, std::string_view name) {
  if (name == kHoursPoweredCount) return true;
  for (const devlog::TradingLogField& field : LayoutOf(model)) {
    if (field.label != devlog::kPoweredHoursLabel && devlog::TradingStatisticName(field) == name) return true;
  }
  return false;
}

bool ParseCount(std::string_view text, int64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > INT32_MAX) return false;
  *value = v;
  return true;
}

}  // namespace

std::string XmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += byte < 0x20 || byte >= 0x7f ? '?' : c;
    }
  }
  return out;
}

std::string IsoDate(std::string_view date) {
  int parts[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int part = 0;
  for (char c : date) {
    if (c == '/') {
      if (++part > 2) return {};
    } else if (c >= '0' && c <= '9' && digits[part] < 4) {
      parts[part] = parts[part] * 10 + (c - '0');
      ++digits[part];
    } else {
      return {};
    }
  }
  if (part != 2 || digits[0] != 4 || digits[1] == 0 || digits[2] == 0) return {};
  if (parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", parts[0], parts[1], parts[2]);
  return text;
}

std::string StatisticsDocument(const Equipment& equipment, const std::vector<Statistic>& statistics,
                               std::string_view request) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<UPOSStat version=\"" + XmlText(equipment.upos_version) + ".0\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns=\"http://www.nrf-arts.org/UnifiedPOS/namespace/\" "
      "xsi:schemaLocation=\"http://www.nrf-arts.org/UnifiedPOS/namespace/ UPOSStat.xsd\">\n"
      "  <Equipment>\n";
  Element(out, "    ", "UnifiedPOSVersion", equipment.upos_version);
  out += "    <DeviceCategory UPOS=\"CashChanger\"/>\n";
  Element(out, "    ", "ManufacturerName", equipment.manufacturer_name);
  Element(out, "    ", "ModelName", equipment.model_name);
  Element(out, "    ", "SerialNumber", equipment.serial_number);
  Element(out, "    ", "ManufactureDate", equipment.manufacture_date);
  Element(out, "    ", "MechanicalRevision", equipment.mechanical_revision);
  Element(out, "    ", "FirmwareRevision", equipment.firmware_revision);
  Element(out, "    ", "Interface", equipment.interface_name);
  Element(out, "    ", "InstallationDate", equipment.installation_date);
  out += "  </Equipment>\n";

  // Every statistic at most once, standard ones before the others within a
  // category, as the request orders them.
  std::vector<bool> written(statistics.size(), false);
  auto category = [&](bool standard) {
    for (size_t i = 0; i < statistics.size(); ++i) {
      if (statistics[i].standard == standard && !written[i]) {
        Entry(out, statistics[i]);
        written[i] = true;
      }
    }
  };
  if (request.empty()) {
    category(true);
    category(false);
  } else {
    for (std::string_view name : SplitList(request)) {
      if (name == kAllStandard) {
        category(true);
        continue;
      }
      if (name == kAllManufacturer) {
        category(false);
        continue;
      }
      bool found = false;
      for (size_t i = 0; i < statistics.size(); ++i) {
        if (statistics[i].name == name) {
          found = true;
          if (!written[i]) Entry(out, statistics[i]);
          written[i] = true;
        }
      }
      if (!found && !name.empty()) Entry(out, Statistic{std::string(name), {}, true});
    }
  }
  out += "</UPOSStat>\n";
  return out;
}

StatisticsService::StatisticsService(const ServiceParts& parts, std::string upos_version)
    : UsesServiceParts(parts), upos_version_(std::move(upos_version)) {
  communication_error_base_ = device_.DamagedAnswerCount();
}

int64_t StatisticsService::CommunicationErrors() const {
  return static_cast<int64_t>(device_.DamagedAnswerCount()) - communication_error_base_;
}

opos::OposResult StatisticsService::Retrieve(std::string* buffer, std::string_view description,
                                             std::string_view model_name) {
  std::vector<devlog::TradingLogLine> lines;
  std::vector<uint8_t> versions;
  const opos::OposResult result = device_.RunOperation([&]() -> opos::OposResult {
    const int32_t read = logs_.ReadTradingCounters(&lines);
    if (read == static_cast<int32_t>(kReplyTimeout) || read == OPOS_E_NOHARDWARE) return OPOS_E_NOHARDWARE;
    if (read != 0) return OPOS_E_FAILURE;
    // The program versions; the KRT02 family and the KRT03 do not tell them.
    if (IsKrt07Family(model_)) {
      const DeviceReply reply = device_.ExchangeNow(VersionCommand().bytes, VersionCommand().timeout_ms);
      if (reply.status == kReplyTimeout) return OPOS_E_NOHARDWARE;
      if (reply.IsDataFrame()) versions = reply.data;
    }
    return OPOS_SUCCESS;
  });
  if (!result.ok()) return result;

  Equipment equipment;
  equipment.upos_version = upos_version_;
  // "Vexo Cash Changer KRT07": the maker's name comes before the class's.
  const size_t cut = description.find(" Cash Changer");
  equipment.manufacturer_name = std::string(description.substr(0, cut));
  equipment.model_name = std::string(model_name);
  // The device program's version first, then the units' as the machine
  // tells them.
  const auto field = [&](VersionField f) { return VersionFieldOf(versions, f); };
  if (!field(VersionField::kDefinitionFile).empty()) {
    equipment.firmware_revision = field(VersionField::kDeviceProgram) + " (coin " + field(VersionField::kCoinUnit) +
                                  ", bill " + field(VersionField::kBillUnit) + ", validator " +
                                  field(VersionField::kValidator) + ", unit " + field(VersionField::kAttachedUnit) +
                                  ", definition " + field(VersionField::kDefinitionFile) + ")";
  }

  const std::span<const devlog::TradingLogField> layout = LayoutOf(model_);
  std::vector<Statistic> statistics;
  std::string hours;
  for (size_t i = 0; i < lines.size() && i < layout.size(); ++i) {
    if (layout[i].label == devlog::kPoweredHoursLabel) hours = lines[i].value;
    if (layout[i].offset == 0) equipment.installation_date = IsoDate(lines[i].value);
  }
  statistics.push_back({std::string(kHoursPoweredCount), hours, true});
  statistics.push_back({std::string(kCommunicationErrorCount), std::to_string(CommunicationErrors()), true});
  std::vector<devlog::NamedStatistic> named = devlog::TradingStatistics(layout, lines);
  for (size_t i = 0; i < named.size(); ++i) {
    // The hours are the standard statistic.
    if (layout[i].label == devlog::kPoweredHoursLabel) continue;
    statistics.push_back({std::move(named[i].name), std::move(named[i].value), false});
  }
  *buffer = StatisticsDocument(equipment, statistics, *buffer);
  return OPOS_SUCCESS;
}

opos::OposResult StatisticsService::Changeable(std::string_view name, bool* kept) const {
  if (name.empty() || name == kAllStandard || name == kCommunicationErrorCount) {
    *kept = true;
    return OPOS_SUCCESS;
  }
  if (name == kAllManufacturer || IsDeviceStatistic(model_, name)) return OposResult::Extended(OPOS_ESTATS_ERROR);
  return OPOS_E_ILLEGAL;
}

opos::OposResult StatisticsService::Reset(std::string_view names) {
  bool kept = false;
  for (std::string_view name : SplitList(names)) {
    const opos::OposResult checked = Changeable(name, &kept);
    if (!checked.ok()) return checked;
  }
  if (kept) communication_error_base_ = device_.DamagedAnswerCount();
  return OPOS_SUCCESS;
}

opos::OposResult StatisticsService::Update(std::string_view pairs) {
  if (pairs.empty()) return OPOS_E_ILLEGAL;
  std::optional<int64_t> value;
  for (std::string_view pair : SplitList(pairs)) {
    const size_t equals = pair.find('=');
    int64_t v = 0;
    if (equals == std::string_view::npos || equals == 0 || !ParseCount(pair.substr(equals + 1), &v)) {
      return OPOS_E_ILLEGAL;
    }
    bool kept = false;
    const opos::OposResult checked = Changeable(pair.substr(0, equals), &kept);
    if (!checked.ok()) return checked;
    if (kept) value = v;
  }
  if (value) communication_error_base_ = static_cast<int64_t>(device_.DamagedAnswerCount()) - *value;
  return OPOS_SUCCESS;
}

}  // namespace vexokrt::service
