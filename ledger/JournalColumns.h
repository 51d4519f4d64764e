#pragma once
// The journal's columns, defined once: each store's table, its INSERT and
// SELECT, and the CSV export are made from this list. Internal to the
// ledger layer.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "ledger/IdLedger.h"

namespace ts::store {

enum class ColumnType : uint8_t {
    Seq,    // the row's number, given by the store
    Int,    // 64 bits
    Int32,  // a result code
    Text,
    Flag,
};

// What a column takes part in.
enum ColumnUse : uint8_t {
    kWritten = 1,   // an attempt's INSERT fills it
    kRead = 2,      // read back into a JournalRow
    kExported = 4,  // a column of the CSV export
};

struct JournalColumn {
    const char* name;
    ColumnType type;
    bool nullable;
    uint8_t use;
    // The local ledger's schema version that added it (the server's schema
    // has all of them from the start).
    int sinceVersion;
};

// In table order. Stored ledgers rely on these names and this order: a new
// column goes at the end, with the schema version that adds it.
inline constexpr JournalColumn kJournalColumns[] = {
    {"seq", ColumnType::Seq, false, kRead, 1},
    {"time", ColumnType::Int, false, kWritten | kRead | kExported, 1},
    {"station", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"session", ColumnType::Text, false, kWritten, 1},
    {"mode", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"source", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"file_sha256", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"file_name", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"line", ColumnType::Int, false, kWritten | kRead | kExported, 1},
    {"prefix", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"suffix", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"direction", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"id", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"device", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"usb_serial", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"usb_vendor", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"usb_product", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    {"port", ColumnType::Text, false, kWritten | kRead | kExported, 1},
    // NULL while the attempt runs (and when its process died).
    {"result", ColumnType::Int32, true, kWritten | kRead | kExported, 1},
    {"duration_ms", ColumnType::Int, false, kWritten | kRead | kExported, 1},
    {"verified", ColumnType::Flag, false, kWritten | kRead | kExported, 1},
    // The attempt reserved its ID (a write that reached the device or was
    // about to), so its failure counts; an ID passed over does not.
    {"reserved", ColumnType::Flag, false, 0, 2},
};

// Names the columns, so that code reading them says which.
enum class JCol : uint8_t {
    Seq,
    Time,
    Station,
    Session,
    Mode,
    Source,
    FileSha256,
    FileName,
    Line,
    Prefix,
    Suffix,
    Direction,
    Id,
    Device,
    UsbSerial,
    UsbVendor,
    UsbProduct,
    Port,
    Result,
    DurationMs,
    Verified,
    Reserved,
    Count,
};
static_assert(std::size(kJournalColumns) == static_cast<size_t>(JCol::Count));

// Number of the columns with `use` before `c`: the 0-based position of `c`
// in the list JournalColumnList(use) makes.
constexpr int JournalPos(uint8_t use, JCol c) {
    int n = 0;
    for (size_t i = 0; i < static_cast<size_t>(c); ++i)
        if (kJournalColumns[i].use & use) ++n;
    return n;
}

enum class Dialect : uint8_t { Sqlite, Postgres };

// "CREATE TABLE `table`(...)" with the columns up to `version` (all of them
// for the server).
std::string JournalCreateSql(Dialect d, std::string_view table, int version);
// The statements that add the columns of `version` to the table of
// `version` - 1.
std::string JournalAddColumnsSql(Dialect d, std::string_view table, int version);
// "time, station, ..." for the columns with `use`, in table order.
std::string JournalColumnList(uint8_t use, std::string_view separator = ", ");
// "?1, ?2, ..." or "$1, $2, ..." for `count` parameters from `first`.
std::string Placeholders(Dialect d, int first, int count);
// The number of columns with `use`.
constexpr int JournalCount(uint8_t use) { return JournalPos(use, JCol::Count); }

// Fills `row` from a result of JournalColumnList(kRead). `c` reads its
// current row: Int(i), Text(i) (valid until the next row), Null(i) and
// Flag(i), with i 0-based.
template <class Cursor>
void ReadJournalRow(const Cursor& c, JournalRow& row) {
    auto at = [](JCol col) { return JournalPos(kRead, col); };
    row.seq = c.Int(at(JCol::Seq));
    row.timeMs = c.Int(at(JCol::Time));
    row.station = c.Text(at(JCol::Station));
    row.mode = c.Text(at(JCol::Mode));
    row.source = c.Text(at(JCol::Source));
    row.fileSha256 = c.Text(at(JCol::FileSha256));
    row.fileName = c.Text(at(JCol::FileName));
    row.line = c.Int(at(JCol::Line));
    row.prefix = c.Text(at(JCol::Prefix));
    row.suffix = c.Text(at(JCol::Suffix));
    row.direction = c.Text(at(JCol::Direction));
    row.id = c.Text(at(JCol::Id));
    row.device = c.Text(at(JCol::Device));
    row.usbSerial = c.Text(at(JCol::UsbSerial));
    row.usbVendor = c.Text(at(JCol::UsbVendor));
    row.usbProduct = c.Text(at(JCol::UsbProduct));
    row.port = c.Text(at(JCol::Port));
    row.result.reset();
    if (!c.Null(at(JCol::Result))) row.result = c.Int(at(JCol::Result));
    row.durationMs = c.Int(at(JCol::DurationMs));
    row.verified = c.Flag(at(JCol::Verified));
}

}  // namespace ts::store
