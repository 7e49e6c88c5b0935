#pragma once

namespace tacetra {

// The answer of both job reports for an invalid or free slot: one read-only
// constant, at one address.
inline constexpr char bad_id_json[] = R"({"error":"bad id"})";

}  // namespace tacetra
