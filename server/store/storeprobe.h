#pragma once
// The statement that reaches the invoice store without reading a row: the
// connection works and the schema is there. The start-up check and every
// /health answer ask it.
namespace zavserver {

inline constexpr const char* kStoreProbeSql = "SELECT 1 FROM NOTAFISCAL WHERE 1 = 0";

} // namespace zavserver
