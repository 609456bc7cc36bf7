#include "OwnerShares.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/statvfs.h>

#include "Logger.h"

namespace {

// Each owner may take this fraction of what the reserve leaves: a few
// owners together, not one, can fill the partition.
constexpr quint64 kOwners = 8;
// The reserve: a sixteenth of the partition, at least 64 blocks (or files),
// at most half of it.
constexpr quint64 kReserveFraction = 16;
constexpr quint64 kReserveMinimum = 64;

quint64 Reserve(quint64 total)
{
    return std::min(total / 2, std::max(total / kReserveFraction, kReserveMinimum));
}

// A decimal count with an optional K, M or G suffix; false if malformed.
bool ParseSize(const char* text, quint64& value)
{
    char* end = nullptr;
    if (text[0] < '0' || text[0] > '9')
        return false;
    const unsigned long long number = strtoull(text, &end, 10);
    const char* suffixes = "KMG";
    const char* suffix = *end != '\0' ? strchr(suffixes, *end) : nullptr;
    if (*end != '\0' && (suffix == nullptr || end[1] != '\0'))
        return false;
    const int shift = suffix == nullptr ? 0 : 10 * static_cast<int>(suffix - suffixes + 1);
    if (shift > 0 && number > (~0ULL >> shift))
        return false;
    value = static_cast<quint64>(number) << shift;
    return true;
}

bool Override(const char* variable, quint64& limit)
{
    const char* text = getenv(variable);
    if (text == nullptr)
        return true;
    if (ParseSize(text, limit))
        return true;
    Logger::printErr("Bad value of %s: %s\n", variable, text);
    return false;
}

}  // namespace

bool OwnerShares::configure(const struct statvfs& partition)
{
    Limits limits;
    limits.block = partition.f_frsize != 0 ? partition.f_frsize : std::max<quint64>(partition.f_bsize, 1);
    if (partition.f_blocks != 0) {
        const quint64 reserve = Reserve(partition.f_blocks);
        limits.reserveBytes = reserve * limits.block;
        limits.bytes = (partition.f_blocks - reserve) / kOwners * limits.block;
    }
    if (partition.f_files != 0) {
        limits.reserveFiles = Reserve(partition.f_files);
        limits.items = (partition.f_files - limits.reserveFiles) / kOwners;
    }
    if (!Override("VYRNA_SHARE_ITEMS", limits.items) || !Override("VYRNA_SHARE_BYTES", limits.bytes)
        || !Override("VYRNA_RESERVE_BYTES", limits.reserveBytes))
        return false;
    m_limits = limits;
    return true;
}

quint64 OwnerShares::_blocks(quint64 fileBytes) const
{
    return (fileBytes + m_limits.block - 1) / m_limits.block * m_limits.block;
}

OwnerShares::Verdict OwnerShares::admit(quint32 token, quint32 owner, quint64 fileBytes,
                                        const struct statvfs& now) const
{
    const quint64 size = _blocks(fileBytes);
    const auto held = m_held.constFind(token);
    const bool replaces = held != m_held.constEnd() && held->owner == owner;
    const Usage usage = m_owners.value(owner);
    const quint64 items = usage.items + (replaces ? 0 : 1);
    const quint64 bytes = usage.bytes - (replaces ? held->bytes : 0) + size;
    if (items > m_limits.items || bytes > m_limits.bytes)
        return OverShare;
    // The new file exists beside the old one until it replaces it.
    const quint64 freeBytes = static_cast<quint64>(now.f_bavail) * now.f_frsize;
    if (freeBytes < size + m_limits.reserveBytes)
        return PartitionFull;
    if (now.f_files != 0 && now.f_favail < 1 + m_limits.reserveFiles)
        return PartitionFull;
    return Admitted;
}

void OwnerShares::track(quint32 token, quint32 owner, quint64 fileBytes)
{
    forget(token);
    const quint64 size = _blocks(fileBytes);
    m_held.insert(token, Held{owner, size});
    Usage& usage = m_owners[owner];
    usage.items += 1;
    usage.bytes += size;
}

void OwnerShares::forget(quint32 token)
{
    const auto held = m_held.find(token);
    if (held == m_held.end())
        return;
    auto usage = m_owners.find(held->owner);
    usage->items -= 1;
    usage->bytes -= held->bytes;
    if (usage->items == 0)
        m_owners.erase(usage);
    m_held.erase(held);
}

void OwnerShares::clear()
{
    m_held.clear();
    m_owners.clear();
}
