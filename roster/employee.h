// The Employee record: one line of the roster file.
#ifndef ROSTER_EMPLOYEE_H
#define ROSTER_EMPLOYEE_H

#include <cstdint>
#include <string>

struct Employee {
  std::int32_t idx; // position among the data lines, from 0; set by the reader
  std::string name;
  std::string email;
  std::string ic;
  std::string phone;
  std::string hiredDate;
  std::string birthDate;
};

#endif
