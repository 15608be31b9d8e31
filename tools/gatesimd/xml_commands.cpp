#include "tools/gatesimd/xml_commands.h"

#include "tools/gatesimd/xml_docs.h"
#include "wire/xml_frame.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace
{

bool read_file(const std::string &path, std::string &out)
{
    std::ifstream f(path, std::ios::binary);
    if (path.empty() || !f)
        return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

} // namespace

const char *XmlCommands::help_text()
{
    return "XML gateways (sql and gpio above reach them too, as UnlockSqlEv and GpioChangedEv):\n"
           "  disp EVENT ENC HEX         serial display data: EVENT XCMPEvent, TEvent or NXEvent,\n"
           "                             ENC b64, or b64z (deflated; XCMPEvent only)\n"
           "  dispfile EVENT ENC FILE    the same with the bytes of FILE\n"
           "  xmlraw DOCUMENT            any document, the rest of the line, sent as it stands\n"
           "  xmlrawfile FILE            any document read from FILE\n"
           "  state                      the site, and every logged-in XML gateway with its counters\n";
}

std::string XmlCommands::send(const std::string &doc)
{
    int n = server_.send_to_all(doc);
    return "ok: " + std::to_string(n) + " xml gateways";
}

bool XmlCommands::execute(const std::string &cmd, const std::string &args, std::string &reply)
{
    if (cmd == "state") {
        reply = server_.state_text() + "ok";
        return true;
    }
    if (cmd == "xmlraw" || cmd == "xmlrawfile") {
        std::string doc = args;
        if (cmd == "xmlrawfile" && !read_file(args, doc)) {
            reply = "error: cannot read " + args;
            return true;
        }
        reply = doc.empty() ? "error: usage: " + cmd + (cmd == "xmlraw" ? " DOCUMENT" : " FILE") : send(doc);
        return true;
    }
    if (cmd != "disp" && cmd != "dispfile")
        return false;
    std::istringstream in(args);
    std::string event, denc, rest;
    in >> event >> denc;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(" \t");
    rest = start == std::string::npos ? std::string() : rest.substr(start);
    std::vector<uint8_t> data;
    if (cmd == "disp") {
        if (!parse_hex(rest, data) || data.empty()) {
            reply = "error: usage: disp EVENT ENC HEX";
            return true;
        }
    } else {
        std::string bytes;
        if (!read_file(rest, bytes)) {
            reply = "error: cannot read " + rest;
            return true;
        }
        data.assign(bytes.begin(), bytes.end());
    }
    std::string doc;
    if (!xml_docs::serial_disp_event(event, denc, data.data(), data.size(), doc)) {
        reply = "error: EVENT is XCMPEvent, TEvent or NXEvent and ENC b64, or b64z with XCMPEvent";
        return true;
    }
    if (doc.size() > xml_frame::max_text) {
        reply = "error: the document has " + std::to_string(doc.size()) + " bytes, more than the link's " +
                std::to_string(xml_frame::max_text);
        return true;
    }
    reply = send(doc);
    return true;
}
