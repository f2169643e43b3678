// A thin layer of our own over libpq: one connection, statements with text
// parameters, their rows, and a transaction that rolls back unless it is
// committed. Every value travels as a parameter, never inside the SQL text,
// so a board's name or a bench's name cannot change what a statement does.
//
// Texts here are UTF-8 as the server holds them (client_encoding UTF8);
// converting to and from the program's cp1251 is the caller's business.
// Nothing here is shared between threads: a connection is used by one
// thread at a time.
#pragma once

#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace pg {

// One parameter: a text, or SQL NULL.
struct value {
  value(const std::string& s) : text(s) {}
  value(const char* s) : text(s ? s : ""), null(!s) {}
  value(long long n) : text(std::to_string(n)) {}
  value(int n) : text(std::to_string(n)) {}
  static value none() { return value(static_cast<const char*>(nullptr)); }
  std::string text;
  bool null = false;
};

// The outcome of one statement.
class result {
 public:
  result() = default;
  explicit result(pg_result* r, bool connection_lost, const std::string& error);
  ~result();
  result(result&& o) noexcept;
  result& operator=(result&& o) noexcept;
  result(const result&) = delete;
  result& operator=(const result&) = delete;

  // The statement ran (commands and queries alike).
  bool ok() const { return ok_; }
  // The connection went away under it: the statement's fate is unknown.
  bool lost() const { return lost_; }
  // Five characters ("23505"); empty when the server sent none.
  std::string sqlstate() const;
  // The first line of the server's or libpq's message (UTF-8).
  const std::string& error() const { return error_; }

  int rows() const;
  // Rows changed by an INSERT, UPDATE or DELETE.
  long long affected() const;
  bool is_null(int row, int col) const;
  std::string text(int row, int col) const;  // "" for NULL
  long long number(int row, int col) const;  // 0 for NULL

 private:
  pg_result* r_ = nullptr;
  bool ok_ = false, lost_ = false;
  std::string error_;
};

class connection {
 public:
  connection() = default;
  ~connection() { close(); }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Connects by a conninfo text or URI, with the given application name and
  // client_encoding UTF8. False with error (libpq's first line, UTF-8).
  bool open(const std::string& conninfo, const std::string& application_name, std::string& error);
  bool is_open() const;
  void close();
  // The server process serving this connection; 0 when there is none.
  int backend_pid() const;

  result exec(const std::string& sql, const std::vector<value>& params = {});

  // Waits up to ms for notifications of the channels this connection
  // LISTENs to, and appends their payloads. False when the connection is
  // lost (nothing more will come on it).
  bool notifications(std::vector<std::string>& payloads, unsigned ms);

 private:
  pg_conn* c_ = nullptr;
};

// BEGIN now, ROLLBACK when it goes without commit(). A lost connection
// leaves nothing to roll back.
class transaction {
 public:
  explicit transaction(connection& c);
  ~transaction();
  transaction(const transaction&) = delete;
  transaction& operator=(const transaction&) = delete;
  // What BEGIN did.
  const result& begun() const { return begin_; }
  result commit();

 private:
  connection& c_;
  result begin_;
  bool open_ = false;
};

// The first line of a message.
std::string first_line(const std::string& text);

}  // namespace pg
