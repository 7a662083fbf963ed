// Growable byte buffer for assembling records; users read m_pData and may move m_nPosition.
#pragma once
#include <windows.h>

namespace Lumetra {

class CByteBuffer {
public:
    explicit CByteBuffer(const void* data = nullptr, int length = 0);
    ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    // Writes at the position (clamped to the data), overwriting and then extending; grows with
    // 50 bytes to spare. False for null data or a negative length, or when memory runs out
    // (the buffer is then unchanged).
    bool Write(const void* data, int length);
    void Clear();
    void Free();
    int GetSize() const { return m_nSize; }

    BYTE* m_pData = nullptr;
    int m_nSize = 0;
    int m_nCapacity = 0;
    int m_nPosition = 0;
};

} // namespace Lumetra
