#pragma once
// LineRecord: the document's per-line configuration record of 8056 bytes, eight of them back to
// back in the configuration file. Packed and unpacked field by field at fixed offsets.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "cpelink/line_count.h"

constexpr size_t LINE_RECORD_SIZE = 8056;
constexpr size_t CONFIG_FILE_SIZE = LINE_RECORD_SIZE * LINE_COUNT;  // 64448
static_assert(CONFIG_FILE_SIZE == 64448);

// A text field: offset and size in bytes (the text holds at most size - 1 characters).
struct TextField {
    size_t offset;
    size_t size;
};

namespace LineField {
constexpr TextField VersionPackage{0, 260};
constexpr TextField ThirdVersionFile{260, 260};
constexpr TextField RootImage{520, 260};
constexpr TextField BootImage{780, 260};
constexpr TextField VersionFolder{3348, 260};
constexpr TextField NvDirectory{6232, 256};
constexpr TextField UpgradeSoftware{6488, 260};
constexpr TextField BootFile{6748, 260};
constexpr TextField LoaderImage{7008, 260};
constexpr size_t PortNumber = 7528;
constexpr size_t DiagPortFlag = 7532;
constexpr size_t BaudRate = 7536;
}  // namespace LineField

static_assert(LineField::NvDirectory.offset + LineField::NvDirectory.size == LineField::UpgradeSoftware.offset);
static_assert(LineField::LoaderImage.offset + LineField::LoaderImage.size <= LineField::PortNumber);
static_assert(LineField::BaudRate + 4 <= LINE_RECORD_SIZE);

class LineRecord {
public:
    LineRecord() { Zero(); }
    void Zero() { m_bytes.fill(0); }

    std::string GetText(TextField f) const;
    // False (and the field unchanged) when the text does not fit the field.
    bool SetText(TextField f, const std::string& text);

    int32_t GetInt(size_t offset) const;
    void SetInt(size_t offset, int32_t value);

    std::span<const unsigned char, LINE_RECORD_SIZE> Bytes() const { return m_bytes; }
    void Load(std::span<const unsigned char, LINE_RECORD_SIZE> bytes);

private:
    std::array<unsigned char, LINE_RECORD_SIZE> m_bytes;
};
