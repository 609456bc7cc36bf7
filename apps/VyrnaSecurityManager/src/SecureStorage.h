// The stored items: one file "%08X.data" per item (a 16-byte header of token
// id, owner, access mode and plaintext CRC-32, then the ciphertext) and an
// in-memory index from token id to those attributes, rebuilt from the files
// at every start.
#pragma once

#include <QByteArray>
#include <QHash>

#include "FileStorage.h"
#include "OwnerShares.h"

class SecureStorage {
public:
    struct DataAttributes {
        quint32 token;
        quint32 owner;
        quint32 mode;
        quint32 crc;
    };

    // Result codes; storage codes 1 to 5 pass unchanged, others become 8.
    enum {
        NotFound = 6,     // from find; from retrieve: the item's file is missing
        LastOfOwner = 7,  // from clear: the item is gone and its owner has none left
        OtherFailure = 8,
        OverShare = 9     // from admit: the owner's items would take more than its share
    };

    SecureStorage();

    int init();
    // Whether the item file of a store (cipherLength bytes of ciphertext)
    // fits the owner's share and leaves the partition's reserve free; asked
    // before anything of the store is written. 0, OverShare, or 4 when the
    // partition has no room left for it.
    int admit(quint32 token, quint32 owner, int cipherLength) const;
    int store(quint32 token, quint32 owner, quint32 mode, quint32 crc, const QByteArray& cipher);
    int find(quint32 token, quint32& owner, quint32& mode, quint32& crc) const;
    int retrieve(quint32 token, QByteArray& cipher) const;
    int clear(quint32 token);
    // Deletes every item file and empties the index.
    void clean();

private:
    // Indexes one item file from the read of its head, or deletes it when it
    // is proven malformed; a storage code.
    int _indexFile(const QString& name, const FileStorage::Head& head);

    QHash<quint32, DataAttributes> m_index;
    FileStorage m_storage;
    OwnerShares m_shares;
};
