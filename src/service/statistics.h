// SPDX-License-Identifier: Apache-2.0
// Device statistics as applications of later releases of the class ask for
// them: RetrieveStatistics answers a statistics document (root "UPOSStat":
// the Equipment block, then one Parameter per standard statistic and one
// ManufacturerSpecific per statistic of this service object);
// ResetStatistics and UpdateStatistics change the statistics this service
// object keeps itself.
//
// The statistics:
//   HoursPoweredCount        standard; the trading log's power-on hours
//   CommunicationErrorCount  standard; answers that came in damaged on the
//                            line since OpenService (the one statistic that
//                            can be reset and updated)
//   every trading-log line   manufacturer-specific, by its English name
//                            (devlog/trading_statistics.h)
//
// A request list is "" (every statistic), "U_" (the standard ones), "M_"
// (the manufacturer-specific ones), or names and those two separated by
// commas; a name that is no statistic comes back as a Parameter with an
// empty Value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "opos/opos.h"
#include "service/service_parts.h"

namespace vexokrt::service {

// What the Equipment block says.
struct Equipment {
  std::string upos_version;  // "1.14"
  std::string manufacturer_name;
  std::string model_name;
  std::string serial_number;
  std::string manufacture_date;
  std::string mechanical_revision;
  std::string firmware_revision;
  std::string interface_name = "RS232";
  std::string installation_date;
};

struct Statistic {
  std::string name;
  std::string value;
  bool standard = false;  // a Parameter; otherwise ManufacturerSpecific
};

// The document of the statistics of |statistics| that |request| asks for,
// in their order (names asked for one by one come in the order asked).
std::string StatisticsDocument(const Equipment& equipment, const std::vector<Statistic>& statistics,
                               std::string_view request);

// Text made safe for element content: the five XML specials as entities,
// every byte that is a control character or not ASCII as '?'.
std::string XmlText(std::string_view text);

// "2024/3/5" (the trading log's start date) as "2024-03-05"; "" for a date
// that does not read as one.
std::string IsoDate(std::string_view date);

class StatisticsService : private UsesServiceParts {
 public:
  // |upos_version| is the release the service object serves ("1.14");
  // |manufacturer| and |model| name the claimed device.
  StatisticsService(const ServiceParts& parts, std::string upos_version);
  StatisticsService(const StatisticsService&) = delete;
  StatisticsService& operator=(const StatisticsService&) = delete;

  // Of a claimed, enabled device: reads the trading log and the program
  // versions and answers the document for the request in |buffer|. 107
  // when the device does not answer, 111 when it answers wrongly.
  opos::OposResult Retrieve(std::string* buffer, std::string_view description, std::string_view model_name);
  // |names|: "" or "U_" resets CommunicationErrorCount to 0; naming it does
  // the same. Naming a statistic of the device (it keeps its own counters)
  // or "M_" is refused with OPOS_ESTATS_ERROR and changes nothing; a name
  // that is no statistic is 106.
  opos::OposResult Reset(std::string_view names);
  // |pairs|: "Name=Value" separated by commas, Value a decimal count; the
  // same names and refusals as Reset; a pair that does not read is 106.
  opos::OposResult Update(std::string_view pairs);

 private:
  // Checks |name| as a statistic to change: 0 when it is (or covers) the
  // kept one, with |*kept| set; the refusal otherwise.
  opos::OposResult Changeable(std::string_view name, bool* kept) const;
  int64_t CommunicationErrors() const;

  std::string upos_version_;
  // The damaged-answer count that reads as CommunicationErrorCount 0.
  int64_t communication_error_base_ = 0;
};

}  // namespace vexokrt::service
