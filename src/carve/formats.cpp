// The format table.
#include "carve/formats.h"

#include <cstring>

#include "carve/measure_support.h"

namespace rv::carve {

namespace {

using namespace std::string_view_literals;

constexpr Signature kJpeg[] = {{0, "\xFF\xD8\xFF"sv}};
constexpr Signature kPng[] = {{0, "\x89PNG\r\n\x1a\n"sv}};
constexpr Signature kGif[] = {{0, "GIF87a"sv}, {0, "GIF89a"sv}};
constexpr Signature kBmp[] = {{0, "BM"sv}};
constexpr Signature kTiff[] = {{0, "II*\0"sv}, {0, "MM\0*"sv}};
constexpr Signature kPdf[] = {{0, "%PDF-"sv}};
constexpr Signature kZip[] = {{0, "PK\x03\x04"sv}};
constexpr Signature kRiff[] = {{0, "RIFF"sv}};
constexpr Signature kIso[] = {{4, "ftyp"sv}};
constexpr Signature kSqlite[] = {{0, "SQLite format 3\0"sv}};
constexpr Signature kSevenZip[] = {{0, "7z\xBC\xAF\x27\x1C"sv}};
constexpr Signature kOgg[] = {{0, "OggS\0\x02"sv}};
constexpr Signature kPsd[] = {{0, "8BPS\0\x01"sv}, {0, "8BPS\0\x02"sv}};
constexpr Signature kGzip[] = {{0, "\x1F\x8B\x08"sv}};
constexpr Signature kRar[] = {{0, "Rar!\x1A\x07"sv}};
constexpr Signature kMatroska[] = {{0, "\x1A\x45\xDF\xA3"sv}};
constexpr Signature kFlac[] = {{0, "fLaC\0\0\0\x22"sv}, {0, "fLaC\x80\0\0\x22"sv}, {0, "ID3"sv}};
// An MP3 with its ID3v2 tag, or bare MPEG audio frames (layer III of
// MPEG-1, 2 and 2.5, with and without CRC; layer II of MPEG-1).
constexpr Signature kMp3[] = {{0, "ID3"sv},     {0, "\xFF\xFB"sv}, {0, "\xFF\xFA"sv}, {0, "\xFF\xF3"sv},
                              {0, "\xFF\xF2"sv}, {0, "\xFF\xE3"sv}, {0, "\xFF\xE2"sv}, {0, "\xFF\xFD"sv},
                              {0, "\xFF\xFC"sv}};

// Rows whose signatures are longer and rarer come first, so that a start
// two rows could claim goes to the stricter one. Rows added later go at
// the end, where no start is claimed by two rows (MP3's two-byte frame
// sync last of all), so the fuzz corpus's seeds keep their row numbers.
constexpr FormatRow kFormats[] = {
    {"JPEG", "jpg", kJpeg, MeasureJpeg, true, "jpg"},
    {"PNG", "png", kPng, MeasurePng, true, "png"},
    {"GIF", "gif", kGif, MeasureGif, true, "gif"},
    {"TIFF", "tif", kTiff, MeasureTiff, false, "tif cr2 nef arw dng pef orf"},
    {"PDF", "pdf", kPdf, MeasurePdf, true, "pdf"},
    {"ZIP", "zip", kZip, MeasureZip, true, "zip docx xlsx pptx odt ods odp odg epub"},
    {"RIFF", "riff", kRiff, MeasureRiff, false, "riff wav avi webp"},
    {"ISO base media", "mp4", kIso, MeasureIsoMedia, true, "mp4 mov m4a m4v heic avif 3gp 3g2 cr3"},
    {"SQLite", "sqlite", kSqlite, MeasureSqlite, false, "sqlite"},
    {"7z", "7z", kSevenZip, MeasureSevenZip, true, "7z"},
    {"Ogg", "ogg", kOgg, MeasureOgg, true, "ogg"},
    {"BMP", "bmp", kBmp, MeasureBmp, false, "bmp"},
    {"PSD", "psd", kPsd, MeasurePsd, false, "psd psb"},
    {"RAR", "rar", kRar, MeasureRar, true, "rar"},
    {"GZIP", "gz", kGzip, MeasureGzip, true, "gz"},
    {"Matroska", "mkv", kMatroska, MeasureMatroska, false, "mkv webm"},
    {"FLAC", "flac", kFlac, MeasureFlac, false, "flac"},
    {"MP3", "mp3", kMp3, MeasureMp3, false, "mp3 mp2"},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::span<const FormatRow> Formats() { return kFormats; }

bool RowProduces(const FormatRow& row, std::string_view extension) {
  std::string_view list = row.extensions;
  while (!list.empty()) {
    const size_t space = list.find(' ');
    if (EqualsIgnoringCase(list.substr(0, space), extension)) return true;
    if (space == std::string_view::npos) break;
    list.remove_prefix(space + 1);
  }
  return false;
}

const FormatRow* FormatFor(std::string_view nameOrExtension) {
  if (EqualsIgnoringCase(nameOrExtension, "jpeg")) nameOrExtension = "jpg";
  if (EqualsIgnoringCase(nameOrExtension, "tiff")) nameOrExtension = "tif";
  for (const FormatRow& row : kFormats)
    if (EqualsIgnoringCase(row.name, nameOrExtension) || RowProduces(row, nameOrExtension)) return &row;
  return nullptr;
}

bool SignatureMatches(const FormatRow& row, std::span<const uint8_t> head) {
  for (const Signature& s : row.signatures) {
    if (s.offset <= head.size() && s.bytes.size() <= head.size() - s.offset &&
        std::memcmp(head.data() + s.offset, s.bytes.data(), s.bytes.size()) == 0)
      return true;
  }
  return false;
}

Measure MeasureWith(const FormatRow& row, BoundedReader& reader) {
  Measure m = row.measure(reader);
  if (m.validUpTo > reader.Limit()) {
    m.validUpTo = reader.Limit();
    m.ranOut = m.verdict != Verdict::Whole;
  }
  return m;
}

Measure MeasureCandidate(const FormatRow& row, ByteSource& source, uint64_t limit) {
  BoundedReader reader(source, limit);
  return MeasureWith(row, reader);
}

}  // namespace rv::carve
