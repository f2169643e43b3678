#include "workflow/pgsql.h"

#include <libpq-fe.h>

#include <poll.h>

#include <cerrno>
#include <cstdlib>

namespace pg {

std::string first_line(const std::string& text) {
  size_t end = text.find('\n');
  std::string s = text.substr(0, end);
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
  // libpq and the server both lead with a severity the user has no use for.
  for (std::string lead : {"FATAL:  ", "ERROR:  "})
    if (s.compare(0, lead.size(), lead) == 0) return s.substr(lead.size());
  return s;
}

result::result(pg_result* r, bool connection_lost, const std::string& error)
    : r_(r), lost_(connection_lost), error_(error) {
  ExecStatusType st = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  ok_ = !lost_ && (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK);
  if (!ok_ && error_.empty()) {
    const char* m = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (!m || !*m) m = r ? PQresultErrorMessage(r) : nullptr;
    error_ = first_line(m && *m ? m : "no answer from the server");
  }
}

result::~result() {
  if (r_) PQclear(r_);
}

result::result(result&& o) noexcept : r_(o.r_), ok_(o.ok_), lost_(o.lost_), error_(std::move(o.error_)) {
  o.r_ = nullptr;
}

result& result::operator=(result&& o) noexcept {
  if (this != &o) {
    if (r_) PQclear(r_);
    r_ = o.r_;
    o.r_ = nullptr;
    ok_ = o.ok_;
    lost_ = o.lost_;
    error_ = std::move(o.error_);
  }
  return *this;
}

std::string result::sqlstate() const {
  const char* s = r_ ? PQresultErrorField(r_, PG_DIAG_SQLSTATE) : nullptr;
  return s ? s : "";
}

int result::rows() const { return r_ && ok_ ? PQntuples(r_) : 0; }

long long result::affected() const {
  const char* n = r_ ? PQcmdTuples(r_) : nullptr;
  return n && *n ? std::atoll(n) : 0;
}

bool result::is_null(int row, int col) const { return !r_ || row >= rows() || PQgetisnull(r_, row, col); }

std::string result::text(int row, int col) const {
  if (is_null(row, col)) return "";
  return std::string(PQgetvalue(r_, row, col), (size_t)PQgetlength(r_, row, col));
}

long long result::number(int row, int col) const {
  return is_null(row, col) ? 0 : std::atoll(PQgetvalue(r_, row, col));
}

bool connection::open(const std::string& conninfo, const std::string& application_name, std::string& error) {
  close();
  // The URI's own settings stand unless named after it: the program's name
  // and the encoding every text is exchanged in are ours to say.
  const char* keys[] = {"dbname", "application_name", "client_encoding", nullptr};
  const char* values[] = {conninfo.c_str(), application_name.c_str(), "UTF8", nullptr};
  c_ = PQconnectdbParams(keys, values, 1);
  if (!c_ || PQstatus(c_) != CONNECTION_OK) {
    error = first_line(c_ ? PQerrorMessage(c_) : "out of memory");
    if (error.empty()) error = "connection refused";
    close();
    return false;
  }
  return true;
}

bool connection::is_open() const { return c_ && PQstatus(c_) == CONNECTION_OK; }

void connection::close() {
  if (c_) PQfinish(c_);
  c_ = nullptr;
}

int connection::backend_pid() const { return c_ ? PQbackendPID(c_) : 0; }

result connection::exec(const std::string& sql, const std::vector<value>& params) {
  if (!c_) return result(nullptr, true, "no connection");
  std::vector<const char*> p;
  p.reserve(params.size());
  for (const value& v : params) p.push_back(v.null ? nullptr : v.text.c_str());
  pg_result* r = PQexecParams(c_, sql.c_str(), (int)p.size(), nullptr, p.data(), nullptr, nullptr, 0);
  bool lost = PQstatus(c_) != CONNECTION_OK;
  std::string error;
  if (lost) {
    const char* m = r ? PQresultErrorMessage(r) : "";
    error = first_line(m && *m ? m : PQerrorMessage(c_));
  }
  return result(r, lost, error);
}

bool connection::notifications(std::vector<std::string>& payloads, unsigned ms) {
  if (!is_open()) return false;
  auto take = [&] {
    while (PGnotify* n = PQnotifies(c_)) {
      payloads.push_back(n->extra ? n->extra : "");
      PQfreemem(n);
    }
  };
  take();
  if (!payloads.empty()) return true;
  pollfd p = {PQsocket(c_), POLLIN, 0};
  if (p.fd < 0) return false;
  int r = poll(&p, 1, (int)ms);
  if (r < 0 && errno != EINTR) return false;
  if (r > 0 && !PQconsumeInput(c_)) return false;
  take();
  return PQstatus(c_) == CONNECTION_OK;
}

transaction::transaction(connection& c) : c_(c) {
  begin_ = c_.exec("BEGIN");
  open_ = begin_.ok();
}

transaction::~transaction() {
  if (open_ && c_.is_open()) c_.exec("ROLLBACK");
}

result transaction::commit() {
  open_ = false;
  return c_.exec("COMMIT");
}

}  // namespace pg
