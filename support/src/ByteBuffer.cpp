#include "Lumetra/ByteBuffer.h"

#include <climits>
#include <cstring>
#include <new>

namespace Lumetra {

namespace {
constexpr int kGrowthSpare = 50;
}

CByteBuffer::CByteBuffer(const void* data, int length)
{
    if (data) Write(data, length);
    m_nPosition = 0;
}

CByteBuffer::~CByteBuffer()
{
    delete[] m_pData;
}

bool CByteBuffer::Write(const void* data, int length)
{
    if (length < 0 || !data) return false;
    if (length == 0) return true;
    if (m_nPosition < 0) m_nPosition = 0;
    if (m_nPosition > m_nSize) m_nPosition = m_nSize;

    // The 32-bit counts must not wrap.
    if (length > INT_MAX - m_nSize) return false;
    // The data may lie inside this buffer: the old block goes only after the copy.
    BYTE* retired = nullptr;
    if (m_nCapacity < m_nSize + length) {
        if (length > INT_MAX - kGrowthSpare - m_nSize) return false;
        const int capacity = m_nSize + length + kGrowthSpare;
        BYTE* grown = new (std::nothrow) BYTE[capacity]();
        if (!grown) return false;
        if (m_nSize > 0) std::memcpy(grown, m_pData, static_cast<size_t>(m_nSize));
        retired = m_pData;
        m_pData = grown;
        m_nCapacity = capacity;
    }
    std::memmove(m_pData + m_nPosition, data, static_cast<size_t>(length));
    delete[] retired;
    m_nPosition += length;
    if (m_nSize < m_nPosition) m_nSize = m_nPosition;
    return true;
}

void CByteBuffer::Clear()
{
    if (m_nSize > 0) Free();
}

void CByteBuffer::Free()
{
    delete[] m_pData;
    m_pData = nullptr;
    m_nSize = 0;
    m_nCapacity = 0;
    m_nPosition = 0;
}

} // namespace Lumetra
