// One wrapped AES-256 key per user id, created by the crypto device on the
// user's first store and replaced when the user's last item is cleared. Key
// files "%04d.key" live in a CRC-protected directory on the data partition
// with a marker-protected mirror on the backup partition.
#pragma once

#include <QByteArray>

#include "BackupStorage.h"
#include "FileStorageWithCRC.h"

class EphemeralKeys {
public:
    enum {
        NoDirectory = 1,
        EncryptFailed = 2,
        DecryptFailed = 3,
        OpenFailed = 4,    // also: a key file that cannot be read, or only in the backup
        NoKey = 5,         // the user has no key file in either copy
        ShortWrite = 6,
        RemoveFailed = 7,
        KeyGenFailed = 8,
        Damaged = 9,       // from init: both copies damaged (and wiped)
        OtherFailure = 10  // also: a key file of the wrong length
    };

    EphemeralKeys();

    // Opens and reconciles both copies. 0, a code above, or an unconverted
    // storage code (7 or 8 for a partition that is not mounted).
    int init();
    int encrypt(unsigned int uid, const QByteArray& input, QByteArray& output);
    int decrypt(unsigned int uid, const QByteArray& input, QByteArray& output);
    // A new key for the user, in both copies.
    int updateKey(unsigned int uid);
    // Whether both copies are intact and hold the same keys, as a start
    // leaves them: then a failed change left nothing for a start to repair.
    bool settled() const;

    int _loadKey(unsigned int uid);
    // Makes one copy equal to the other: the backup onto the primary when
    // fromBackup is set, else the reverse.
    int _sync(bool fromBackup);

private:
    QByteArray m_key;
    FileStorageWithCRC m_primary;
    BackupStorage m_backup;
};
