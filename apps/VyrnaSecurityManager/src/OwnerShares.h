// How much of the data partition the items of one owner may take, and what
// stays free for key files whoever fills the rest. Sizes are counted as the
// file system allocates them, in whole blocks. The limits derive from the
// partition's size; an integrator overrides them through the environment:
//   VYRNA_SHARE_ITEMS    items one owner may hold
//   VYRNA_SHARE_BYTES    bytes one owner's items may take
//   VYRNA_RESERVE_BYTES  free space that items never take
// (decimal, with an optional K, M or G suffix for powers of 1024).
#pragma once

#include <QHash>
#include <QtGlobal>

struct statvfs;

class OwnerShares {
public:
    struct Limits {
        quint64 block = 1;         // allocation unit of the partition
        quint64 items = ~0ULL;     // per owner
        quint64 bytes = ~0ULL;     // per owner
        quint64 reserveBytes = 0;  // free space that items never take
        quint64 reserveFiles = 0;  // free inodes that items never take
    };
    enum Verdict { Admitted, OverShare, PartitionFull };

    // The defaults for a partition (statvfs figures), then the overrides of
    // the environment; false when an override cannot be read.
    bool configure(const struct statvfs& partition);
    const Limits& limits() const { return m_limits; }

    // Whether one item of fileBytes may be stored under token for owner
    // (replacing what the token holds), with the partition as it is now.
    Verdict admit(quint32 token, quint32 owner, quint64 fileBytes,
                  const struct statvfs& now) const;
    // An item file of fileBytes now holds token for owner.
    void track(quint32 token, quint32 owner, quint64 fileBytes);
    void forget(quint32 token);
    void clear();

    quint64 itemsOf(quint32 owner) const { return m_owners.value(owner).items; }
    quint64 bytesOf(quint32 owner) const { return m_owners.value(owner).bytes; }

private:
    struct Held {
        quint32 owner;
        quint64 bytes;
    };
    struct Usage {
        quint64 items = 0;
        quint64 bytes = 0;
    };

    quint64 _blocks(quint64 fileBytes) const;

    Limits m_limits;
    QHash<quint32, Held> m_held;     // token -> its owner and allocated bytes
    QHash<quint32, Usage> m_owners;  // owner -> what its items take
};
