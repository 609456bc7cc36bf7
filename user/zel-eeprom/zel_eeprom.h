// Readers of the board EEPROM image: one abstract base with the common
// operations, and one template instance per image structure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "eeprom_layout.h"

class ZEL_EEPROM;

// Called for each item by forEachItem(); returning false stops the walk.
using ZEL_EEPROM_VISITOR = bool (*)(ZEL_EEPROM& reader, int index, const ZEL_EEPROM_ITEM& item,
                                    void* context);

class ZEL_EEPROM {
public:
    ZEL_EEPROM() = default;
    ZEL_EEPROM(const ZEL_EEPROM&) = delete;
    ZEL_EEPROM& operator=(const ZEL_EEPROM&) = delete;

    virtual void setValue(const ZEL_EEPROM_ITEM& item, const std::string& text);
    virtual int printItems(const ZEL_EEPROM_ITEM* items, int count, bool verbose, FILE* out,
                           FILE* err);
    virtual int size() const = 0;
    virtual uint8_t* data() = 0;
    virtual int restSize() const = 0;
    virtual uint8_t* restData() = 0;
    virtual void mergeValues(const ZEL_EEPROM& other);
    // `bytes` holds `byteCount` bytes, the structure the item list describes.
    virtual int decodeItems(const ZEL_EEPROM_ITEM* items, int count, const uint8_t* bytes,
                            size_t byteCount, FILE* err, ZEL_EEPROM* target = nullptr);
    virtual int read(int version, FILE* in, FILE* err);
    virtual const ZEL_EEPROM_ITEM* items() const = 0;
    virtual int itemCount() const = 0;
    virtual uint32_t providedCrc() const = 0;
    virtual uint32_t calculatedCrc() const = 0;
    virtual bool forEachItem(ZEL_EEPROM_VISITOR visitor, void* context);
    virtual bool crcValid() const;
    // The stored text of an item by short name or (with a colon) by key, in
    // any case; nullptr when it has no value.
    virtual const char* value(const std::string& name) const;
    virtual ~ZEL_EEPROM() = default;

protected:
    void setRuntime(RuntimeItem item, const std::string& text) { setValue(RUNTIME_ITEMS[item], text); }

private:
    std::map<std::string, std::string> m_byName;
    std::map<std::string, std::string> m_byKey;
};

// CRC-32 of a byte range, zlib's value.
uint32_t zelEepromCrc(const uint8_t* bytes, size_t size);

template <typename T>
class ZEL_EEPROM_TEMPLATE : public ZEL_EEPROM {
public:
    // Copies the layout's bytes from `source`, or fills the image with 0xFF.
    explicit ZEL_EEPROM_TEMPLATE(const void* source = nullptr);

    int size() const override { return int(sizeof(T)); }
    uint8_t* data() override { return reinterpret_cast<uint8_t*>(&m_image); }
    int restSize() const override { return size() - 1; }
    uint8_t* restData() override { return data() + 1; }
    int decodeItems(const ZEL_EEPROM_ITEM* items, int count, const uint8_t* bytes,
                    size_t byteCount, FILE* err, ZEL_EEPROM* target = nullptr) override;
    int read(int version, FILE* in, FILE* err) override;
    const ZEL_EEPROM_ITEM* items() const override { return m_items; }
    int itemCount() const override { return m_itemCount; }
    uint32_t providedCrc() const override;
    uint32_t calculatedCrc() const override;

private:
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(&m_image); }

    T m_image;
    const ZEL_EEPROM_ITEM* m_items;
    int m_itemCount;
};

using ZEL_EEPROM_V2 = ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V2>;
using ZEL_EEPROM_V3_1 = ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3_1>;
using ZEL_EEPROM_V3_2 = ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3_2>;
using ZEL_EEPROM_V3 = ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3>;

// The whole version-3 image reads both areas and decodes by the second
// area's state; the other layouts use the common read and decode.
template <>
int ZEL_EEPROM_V3::read(int version, FILE* in, FILE* err);
template <>
int ZEL_EEPROM_V3::decodeItems(const ZEL_EEPROM_ITEM* items, int count, const uint8_t* bytes,
                               size_t byteCount, FILE* err, ZEL_EEPROM* target);
template <>
uint32_t ZEL_EEPROM_V3::providedCrc() const;
template <>
uint32_t ZEL_EEPROM_V3::calculatedCrc() const;

extern template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V2>;
extern template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3_1>;
extern template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3_2>;
extern template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3>;
