#include "storage/SqliteTransaction.h"

namespace tavrel::storage {

SqliteTransaction::~SqliteTransaction()
{
    if (m_open) {
        (void)m_db.Execute("ROLLBACK");
    }
}

tl::expected<void, std::string> SqliteTransaction::Begin()
{
    auto begun = m_db.Execute("BEGIN");
    m_open = begun.has_value();
    return begun;
}

tl::expected<void, std::string> SqliteTransaction::Commit()
{
    auto committed = m_db.Execute("COMMIT");
    m_open = !committed.has_value();
    return committed;
}

} // namespace tavrel::storage
