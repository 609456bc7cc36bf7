// Bytes that hold a secret in plain form (a plaintext, a request to the
// crypto device, an answer that carries retrieved data). They are zeroed
// before their memory is let go, so no secret stays behind in freed memory:
// also when they grow, which moves them (append). Not copyable: a copy
// would be a second owner that nobody wipes.
#pragma once

#include <QByteArray>
#include <cstring>
#include <utility>

class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(int size) : m_bytes(size, '\0') {}
    SecretBytes(SecretBytes&& other) noexcept : m_bytes(std::move(other.m_bytes)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept
    {
        wipe();
        m_bytes.swap(other.m_bytes);
        return *this;
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { wipe(); }

    // Room for capacity bytes, so that appending up to there moves nothing.
    void reserve(int capacity)
    {
        if (capacity > m_bytes.capacity())
            moveTo(capacity);
    }
    void append(const void* bytes, int count)
    {
        const int needed = m_bytes.size() + count;
        if (needed > m_bytes.capacity())
            moveTo(qMax(needed, 2 * m_bytes.capacity()));
        m_bytes.append(static_cast<const char*>(bytes), count);
    }

    // For the calls that fill or read the bytes; whoever assigns them to
    // another array must not keep that array beyond this owner, and must not
    // append to it (use append above).
    QByteArray& bytes() { return m_bytes; }
    const QByteArray& bytes() const { return m_bytes; }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(m_bytes.data()); }
    const unsigned char* constData() const
    {
        return reinterpret_cast<const unsigned char*>(m_bytes.constData());
    }
    int size() const { return m_bytes.size(); }

private:
    // Wipes in place, also a buffer shared with another array: data() would
    // first copy it. explicit_bzero is not optimised away as a dead store.
    void wipe()
    {
        if (!m_bytes.isEmpty())
            explicit_bzero(const_cast<char*>(m_bytes.constData()),
                           static_cast<size_t>(m_bytes.size()));
    }
    // Into a buffer of the given capacity; the old one is wiped.
    void moveTo(int capacity)
    {
        QByteArray larger;
        larger.reserve(capacity);
        larger.append(m_bytes.constData(), m_bytes.size());
        wipe();
        m_bytes.swap(larger);
    }

    QByteArray m_bytes;
};
