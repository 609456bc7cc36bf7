// The stored items: one file "%08X.data" per item (a 16-byte header of token
// id, owner, access mode and plaintext CRC-32, then the ciphertext) and an
// in-memory index from token id to those attributes, rebuilt from the files
// at every start.
#pragma once

#include <QByteArray>
#include <QMap>

#include "FileStorage.h"

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
        OtherFailure = 8
    };

    SecureStorage();

    int init();
    int store(quint32 token, quint32 owner, quint32 mode, quint32 crc, const QByteArray& cipher);
    int find(quint32 token, quint32& owner, quint32& mode, quint32& crc) const;
    int retrieve(quint32 token, QByteArray& cipher) const;
    int clear(quint32 token);
    // Deletes every item file and empties the index.
    void clean();

private:
    QMap<quint32, DataAttributes> m_index;
    FileStorage m_storage;
};
