// The operator's commands for the XML gateways: serial display events, raw
// documents and the site's state. The squelch and GPIO commands of the
// binary side reach the XML gateways through the same hooks.
#pragma once

#include "tools/gatesimd/commands.h"
#include "tools/gatesimd/xml_server.h"

class XmlCommands : public CommandExtension
{
  public:
    explicit XmlCommands(XmlServer &server) : server_(server) {}

    void unlock_sql(int sql) override { server_.unlock_sql(sql); }
    void gpio_changed(uint32_t bitmap, uint32_t mask) override { server_.gpio_changed(bitmap, mask); }
    bool execute(const std::string &cmd, const std::string &args, std::string &reply) override;
    const char *help() const override { return help_text(); }
    static const char *help_text();

  private:
    std::string send(const std::string &doc);
    XmlServer &server_;
};
