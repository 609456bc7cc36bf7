// The answer of one request handler: a 4-byte header of status, source and
// code of an internal error, then what the method adds (the token id of a
// stored item, or the retrieved data). All fields start at zero. The bytes
// may carry a secret, so they wipe themselves.
#pragma once

#include <QtEndian>

#include "SecretBytes.h"

class Response {
public:
    enum Status : unsigned char {
        Ok = 0,
        Malformed = 2,
        NotFound = 3,
        Denied = 4,
        BadMode = 5,
        ModeChange = 6,
        BadCrc = 7,
        Internal = 8  // ends the service once answered
    };
    // Where an internal error came from.
    enum Source : unsigned char { Keys = 0, Index = 1 };

    static constexpr int kHeaderLength = 4;

    explicit Response(int length, Status status = Ok) : m_bytes(length)
    {
        m_bytes.bytes()[0] = static_cast<char>(status);
    }
    // Status 8 with the failing source and the low 16 bits of its code.
    Response(int length, Source source, int code) : Response(length, Internal)
    {
        m_bytes.bytes()[1] = static_cast<char>(source);
        qToLittleEndian(static_cast<quint16>(code), m_bytes.data() + 2);
    }

    Status status() const { return static_cast<Status>(m_bytes.constData()[0]); }
    void putWord(int offset, quint32 value) { qToLittleEndian(value, m_bytes.data() + offset); }
    void append(const char* bytes, int count) { m_bytes.append(bytes, count); }
    unsigned char* data() { return m_bytes.data(); }
    int size() const { return m_bytes.size(); }

private:
    SecretBytes m_bytes;
};
