// The ComParam store of one ComLogicalLink, owned by its protocol handler.
//
// It holds, in this order:
//   ComparamVarMap   short name -> value (u32), the ComParam variables
//   the item list    the link's PDU_PARAM_ITEMs, at most one per ComParamId,
//                    in order of last setting; each item owns its value
//   UniqueRespData   deep copy of the unique response identifier table
//   resource data    BusTypeId, ProtocolId and the DLC pins of the link
//   creation flag    the pCllCreateFlag bytes given at link creation
//
// Setting an item also records its short name and value in ComparamVarMap
// (replacing an earlier value), so that timing ComParams set by the
// application reach the handlers' applyTimingComparam at the next
// UPDATEPARAM. clearComparam_var at link creation empties the map.
//
// No lock of its own: every caller holds the ApiLock (link creation,
// connect, ComParam and unique-table calls, UPDATEPARAM).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mdf/ComParamValue.h"
#include "pdu_api.h"

namespace pdu::protocol {

class LinkComParamSet {
 public:
  LinkComParamSet();
  ~LinkComParamSet();
  LinkComParamSet(const LinkComParamSet&) = delete;
  LinkComParamSet& operator=(const LinkComParamSet&) = delete;

  // --- ComParam variables ------------------------------------------------
  // Inserts name -> value unless the name is a key already (the first
  // value stays). Logs "setcomparamData_var", "s=%s", "v=%u". True.
  bool setcomparamData_var(const char* name, uint32_t value);
  // Changes the value of a known name, or inserts as above.
  bool changecomparamData_var(const char* name, uint32_t value);
  // True when name is a key (logs its value).
  bool findcomparamData_var(const char* name) const;
  void clearComparam_var();
  const std::map<std::string, uint32_t>& comparamVarMap() const { return ComparamVarMap; }

  // --- ComParam items ----------------------------------------------------
  // Removes an item with the same ComParamId, appends a deep copy of item
  // and records it in ComparamVarMap. True.
  bool setComparamItem(const PDU_PARAM_ITEM& item);
  const std::vector<mdf::ComParamItem>& comparamItems() const { return ComparamItems; }
  // The item with this ComParamId, or null.
  const mdf::ComParamItem* findComparamItem(uint32_t comParamId) const;
  // Looks a ComParam up by short name: every item whose short name matches
  // writes its value (as a u32) to *value and logs "szShortName = %s
  // value = %u"; the last match wins, *value is untouched when none
  // matches. Items without value (STRUCTFIELD) are passed over. *found
  // (optional) tells whether an item matched. Returns the name's VCI code
  // (kNoVciCode when it has none), found or not.
  uint32_t getComparamValue(const char* shortName, uint32_t* value, bool* found = nullptr) const;

  // --- unique response identifier table ----------------------------------
  // Keeps a deep copy in place of the current table (which is released).
  bool setUniqueRespData(const PDU_UNIQUE_RESP_ID_TABLE_ITEM& table);
  // The kept table (owned by the set), or null before the first set.
  const PDU_UNIQUE_RESP_ID_TABLE_ITEM* uniqueRespData() const { return UniqueRespData.get(); }

  // --- resource data -----------------------------------------------------
  // Copies rsc and its pins. False for null.
  bool setRscData(const PDU_RSC_DATA* rsc);
  // Fills *out with a fresh copy of the pins (release it with
  // ReleaseRscPins); a pin array already in *out is released first, so it
  // must come from an earlier getRscData. Answers false, as it always has:
  // callers do not read the answer.
  bool getRscData(PDU_RSC_DATA* out) const;

  // --- creation flag -----------------------------------------------------
  // Copies the flag bytes; null counts as no flag bytes. True.
  bool setCllCreateFlag(const PDU_FLAG_DATA* flags);
  // out->pFlagData points at the set's own bytes afterwards (shared: the
  // caller must not release it; valid until the next setCllCreateFlag or
  // the handler's end). A foreign array already in *out is released with
  // delete[] first. True.
  bool getCllCreateFlag(PDU_FLAG_DATA* out);

 private:
  struct UniqueTableDeleter {
    void operator()(PDU_UNIQUE_RESP_ID_TABLE_ITEM* table) const { mdf::FreeUniqueRespIdTable(table); }
  };

  std::map<std::string, uint32_t> ComparamVarMap;
  std::vector<mdf::ComParamItem> ComparamItems;
  std::unique_ptr<PDU_UNIQUE_RESP_ID_TABLE_ITEM, UniqueTableDeleter> UniqueRespData;
  uint32_t BusTypeId = 0;
  uint32_t ProtocolId = 0;
  uint32_t NumPinData = 0;
  std::unique_ptr<PDU_PIN_DATA[]> DLCPinData;  // NumPinData entries, or null
  uint32_t NumFlagBytes = 0;
  std::unique_ptr<uint8_t[]> FlagData;  // NumFlagBytes bytes, or null
};

// Releases the pin array that getRscData put into rsc and zeroes it.
void ReleaseRscPins(PDU_RSC_DATA* rsc);

}  // namespace pdu::protocol
