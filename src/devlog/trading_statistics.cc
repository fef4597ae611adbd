// SPDX-License-Identifier: Apache-2.0
#include "devlog/trading_statistics.h"

#include <array>
#include <optional>
#include <utility>

namespace vexokrt::devlog {
namespace {

using Words = std::pair<std::string_view, std::string_view>;

// The words of a label with its qualifiers taken out.
constexpr std::array kStems = {
    Words{"ﾛｸﾞ開始年月日", "LogStartDate"},
    Words{"通電時間", "PoweredHours"},
    Words{"電源投入回数", "PowerOnCount"},
    Words{"ﾘｾｯﾄ回数", "ResetCount"},
    Words{"ｺﾝﾄﾛｰﾗ入金回数", "ControllerDepositCount"},
    Words{"硬貨入金回数", "CoinDepositCount"},
    Words{"紙幣入金回数", "BillDepositCount"},
    Words{"紙幣束入金回数", "BillBundleDepositCount"},
    Words{"入金動作中ﾌﾙ発生回数", "FullDuringDepositCount"},
    Words{"回収途中終了回数", "CollectionEndedEarlyCount"},
    Words{"一部回収途中終了回数", "PartialCollectionEndedEarlyCount"},
    Words{"ﾌﾙ放出途中終了回数", "FullReleaseEndedEarlyCount"},
    Words{"金額出金回数", "AmountDispenseCount"},
    Words{"枚数出金回数", "PiecesDispenseCount"},
    Words{"紙幣回収回数", "BillCollectionCount"},
    Words{"硬貨回収回数", "CoinCollectionCount"},
    Words{"硬貨一部回収回数", "CoinPartialCollectionCount"},
    Words{"紙幣一部回収回数", "BillPartialCollectionCount"},
    Words{"硬貨精査回数", "CoinCountCheckCount"},
    Words{"紙幣精査回数", "BillCountCheckCount"},
    Words{"入金中出金回数", "DispenseDuringDepositCount"},
    Words{"入金枚数", "DepositPieces"},
    Words{"出金枚数", "DispensePieces"},
    Words{"回収枚数", "CollectionPieces"},
    Words{"硬貨ﾌﾙ放出枚数", "CoinFullReleasePieces"},
    Words{"硬貨ﾌﾙ放出回数", "CoinFullReleaseCount"},
    Words{"硬貨ｵｰﾊﾞｰﾌﾛｰ枚数", "CoinOverflowPieces"},
    Words{"硬貨自動ｵｰﾊﾞｰﾌﾛｰ回数", "CoinAutomaticOverflowCount"},
    Words{"精査時回収枚数", "CountCheckCollectionPieces"},
    Words{"入金ﾘｼﾞｪｸﾄ回数", "DepositRejectCount"},
    Words{"出金ﾘｼﾞｪｸﾄ回数", "DispenseRejectCount"},
    Words{"補充回数", "RefillCount"},
    Words{"初期補充回数", "InitialRefillCount"},
    Words{"途中補充回数", "InterimRefillCount"},
    Words{"補充取り込み枚数", "RefillIntakePieces"},
    Words{"補充循環回数", "RefillCirculationCount"},
    Words{"補充時１万円回収枚数", "RefillCollection10000YenPieces"},
    Words{"途中取込回数", "InterimIntakeCount"},
    Words{"紙幣ﾌﾙ回収回数", "BillFullCollectionCount"},
    Words{"紙幣ﾌﾙ回収枚数", "BillFullCollectionPieces"},
    Words{"紙幣ﾌﾙ放出回数", "BillFullReleaseCount"},
    Words{"紙幣ﾌﾙ放出枚数", "BillFullReleasePieces"},
    Words{"回収庫抜取回数", "CollectionBoxRemovalCount"},
    Words{"ｵｰﾊﾞｰﾌﾛｰ庫抜取回数", "OverflowBoxRemovalCount"},
    Words{"ﾁｭｰﾌﾞﾛｯｸ回数", "TubeLockCount"},
    Words{"劣化精査紙正常回数", "WornBillCheckNormalCount"},
    Words{"劣化精査紙排出回数", "WornBillCheckEjectCount"},
    Words{"劣化精査紙劣化回数", "WornBillCheckWornCount"},
    Words{"劣化精査紙入金検出ﾚﾍﾞﾙ", "WornBillDepositDetectionLevel"},
    Words{"劣化精査紙出金検出ﾚﾍﾞﾙ", "WornBillDispenseDetectionLevel"},
    Words{"ｺﾝﾄﾛｰﾗｿﾌﾄ版数", "ControllerSoftwareVersion"},
    Words{"硬貨制御部版数", "CoinControlVersion"},
    Words{"硬貨検銭部版数", "CoinValidatorVersion"},
    Words{"硬貨部ROM版数", "CoinUnitRomVersion"},
    Words{"紙幣部ｿﾌﾄ版数", "BillUnitSoftwareVersion"},
    Words{"紙幣部ROM版数", "BillUnitRomVersion"},
    Words{"判別部ﾓｼﾞｭｰﾙ版数", "ValidatorModuleVersion"},
    Words{"紙幣出金判別部ﾓｼﾞｭｰﾙ版数", "BillDispenseValidatorModuleVersion"},
    Words{"紙幣搬送ｾﾝｻCPU版数", "BillTransportSensorCpuVersion"},
};

// The qualifiers that are no denomination or amount range.
constexpr std::array kQualifiers = {
    Words{"H", ""},
    Words{"全金種", "AllDenominations"},
    Words{"判読不能", "Unreadable"},
    Words{"枚数指定", "ByPieces"},
    Words{"金額指定", "ByAmount"},
    Words{"紙幣収納庫", "BillStacker"},
    Words{"紙幣", "Bills"},
    Words{"硬貨", "Coins"},
    Words{"入金時", "AtDeposit"},
    Words{"出金時", "AtDispense"},
    Words{"紙幣束入金", "BillBundleDeposit"},
    Words{"補充ｺﾏﾝﾄﾞまたはﾊﾟﾈﾙ指示", "ByCommandOrPanel"},
};

// The full-width digits and the ten-thousand and thousand signs that
// denominations are written with.
std::string AsciiNumber(std::string_view text) {
  static constexpr std::array<std::string_view, 10> kWide = {"０", "１", "２", "３", "４", "５", "６", "７", "８", "９"};
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    bool wide = false;
    for (size_t d = 0; d < kWide.size(); ++d) {
      if (text.substr(i, kWide[d].size()) == kWide[d]) {
        out += static_cast<char>('0' + d);
        i += kWide[d].size();
        wide = true;
        break;
      }
    }
    if (wide) continue;
    if (text.substr(i, 3) == "万") {
      out += "0000";
      i += 3;
    } else if (text.substr(i, 3) == "千") {
      out += "000";
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// A qualifier's words; nullopt for one this table does not know.
std::optional<std::string> QualifierWords(std::string_view qualifier) {
  qualifier = Trim(qualifier);
  for (const auto& [label, words] : kQualifiers) {
    if (qualifier == label) return std::string(words);
  }
  constexpr std::string_view kYen = "円";
  // An amount range: "金額:1000～1999円", "金額:    ～ 999円", "金額:10000円～".
  if (qualifier.substr(0, 7) == "金額:") {
    std::string_view range = qualifier.substr(7);
    const size_t tilde = range.find("～");
    if (tilde == std::string_view::npos) return std::nullopt;
    auto bound = [&](std::string_view part) {
      part = Trim(part);
      if (part.size() >= kYen.size() && part.substr(part.size() - kYen.size()) == kYen) part.remove_suffix(kYen.size());
      return std::string(Trim(part));
    };
    const std::string low = bound(range.substr(0, tilde));
    const std::string high = bound(range.substr(tilde + 3));
    if (low.empty()) return "UpTo" + high + "Yen";
    if (high.empty()) return "From" + low + "Yen";
    return "From" + low + "To" + high + "Yen";
  }
  // A denomination: "500円", "１万円", "５千円".
  if (qualifier.size() > kYen.size() && qualifier.substr(qualifier.size() - kYen.size()) == kYen) {
    const std::string number = AsciiNumber(Trim(qualifier.substr(0, qualifier.size() - kYen.size())));
    if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) return number + "Yen";
  }
  return std::nullopt;
}

}  // namespace

std::string TradingStatisticName(const TradingLogField& field) {
  std::string_view label = field.label;
  if (!label.empty() && label.back() == ',') label.remove_suffix(1);
  std::string stem;
  std::string qualifiers;
  bool known = true;
  size_t i = 0;
  while (i < label.size()) {
    const size_t open = label.find('(', i);
    stem += label.substr(i, open == std::string_view::npos ? label.npos : open - i);
    if (open == std::string_view::npos) break;
    const size_t close = label.find(')', open);
    if (close == std::string_view::npos) {
      known = false;
      break;
    }
    const std::optional<std::string> words = QualifierWords(label.substr(open + 1, close - open - 1));
    if (!words) known = false;
    else qualifiers += *words;
    i = close + 1;
  }
  for (const auto& [words_label, words] : kStems) {
    if (known && stem == words_label) return std::string(words) + qualifiers;
  }
  return "TradingLogField" + std::to_string(field.offset);
}

std::vector<NamedStatistic> TradingStatistics(std::span<const TradingLogField> layout,
                                              const std::vector<TradingLogLine>& lines) {
  std::vector<NamedStatistic> out;
  out.reserve(lines.size());
  for (size_t i = 0; i < lines.size() && i < layout.size(); ++i) {
    out.push_back({TradingStatisticName(layout[i]), lines[i].value});
  }
  return out;
}

}  // namespace vexokrt::devlog
