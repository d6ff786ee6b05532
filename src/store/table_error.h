// Errors of the table engine.
#pragma once

#include <stdexcept>
#include <string>

namespace pellora::store {

class TableError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,      // the table file does not exist
        InUse,         // opened exclusively elsewhere (this program or another)
        BadFormat,     // not a table we can read, or damaged
        BadIndex,      // the compound index cannot be read; rebuild it
        BadExpression, // a key, FOR or query expression does not compile
        Io,            // the operating system refused a read or write
        State,         // an operation that needs an open table, a current record, ...
        Argument,      // an unknown field, a value that does not fit, ...
    };
    TableError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

}  // namespace pellora::store
