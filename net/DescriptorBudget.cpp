#include "net/DescriptorBudget.h"

#include "net/UnixSystem.h"

namespace {
constexpr qint64 kReadEveryMs = 100;
}

DescriptorBudget::DescriptorBudget(int headroom)
    : m_limit(unixsystem::openFileLimit()), m_headroom(headroom) {}

bool DescriptorBudget::low() {
    if (m_limit < 0) return false;
    if (!m_readAt.isValid() || m_readAt.elapsed() >= kReadEveryMs) {
        m_known = unixsystem::openDescriptors();
        m_openedSince = 0;
        m_readAt.start();
    }
    if (m_known < 0) return false;
    return m_limit - (m_known + m_openedSince + 1) < m_headroom;
}
