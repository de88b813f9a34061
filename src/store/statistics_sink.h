// What a hive reports to the request statistics (manager/statistics.h
// implements it): the system hive switches collection on and off and files
// the reports it is handed into its local document; every hive measures its
// server base updates. Every call may come from any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string_view>

class StatisticsSink {
 public:
  // One measured operation, recorded when destroyed.
  class Measurement {
   public:
    virtual ~Measurement() = default;
  };

  virtual ~StatisticsSink() = default;

  // Starts collecting when `on` and not collecting yet; stops when not `on`.
  // Returns the final report of a stopped collection, otherwise null.
  virtual nlohmann::json SetCollecting(bool on) = 0;
  // A report of the collection so far when one is due, otherwise null.
  virtual nlohmann::json PeriodicReport() = 0;
  // Begins measuring one server base update caused by `originator`.
  virtual std::unique_ptr<Measurement> MeasureBaseUpdate(std::string_view originator) const = 0;
};
