// Checks a report against the report's JSON Schema in the tree
// (handset/launcher/report.schema.json), with valijson.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validator.hpp>

namespace schemacheck {

inline nlohmann::json ReadJson(const std::string& path) {
  std::ifstream file(path);
  return nlohmann::json::parse(file, nullptr, false);
}

inline nlohmann::json Schema() { return ReadJson(FWUTIL_REPORT_SCHEMA); }

// "" when `text` is one JSON document the schema takes; else what is wrong.
inline std::string Problems(const std::string& text) {
  nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded()) return "not JSON: " + text;
  nlohmann::json schemaDocument = Schema();
  if (schemaDocument.is_discarded()) return "the schema is not JSON";
  valijson::Schema schema;
  valijson::SchemaParser parser;
  valijson::adapters::NlohmannJsonAdapter schemaAdapter(schemaDocument);
  parser.populateSchema(schemaAdapter, schema);
  valijson::Validator validator;
  valijson::ValidationResults results;
  valijson::adapters::NlohmannJsonAdapter target(document);
  if (validator.validate(schema, target, &results)) return "";
  std::string problems;
  valijson::ValidationResults::Error error;
  while (results.popError(error)) {
    std::string where;
    for (const std::string& part : error.context) where += part;
    problems += where + ": " + error.description + "\n";
  }
  return problems;
}

}  // namespace schemacheck
