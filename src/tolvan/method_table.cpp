// Names, parameters, defaults, annotations and docstrings of every method,
// and the body that runs once its arguments are accepted.
#include "tolvan/method_table.h"

#include "commands/commands.h"
#include "link/exchange.h"
#include "port/port.h"
#include "protocol/checksum.h"

namespace tolvan {

namespace {

constexpr Parameter self = TOLVAN_PARAMETER(self, nullptr);
constexpr Parameter ch = TOLVAN_PARAMETER(ch, "int");
constexpr long default_channel = 1;

const MethodSpec methods[] = {
    {"__init__",
     "initialize serial port\n"
     "        :param serial_port:\n"
     "        For Windows, 'COM3', 'COM4' ...\n"
     "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n"
     "        ",
     2, {self, TOLVAN_PARAMETER(serial_port, "str")}, std::nullopt, nullptr, port::construct},
    {"__check_crc",
     "\n"
     "        Verify the CRC of the received message.\n"
     "\n"
     "        :param data: List of bytes representing the message received \n"
     "                     from the device.\n"
     "        :return: True if the CRC is valid, False otherwise.\n"
     "        ",
     2, {self, TOLVAN_PARAMETER(data, "list")}, std::nullopt, "bool", protocol::check_crc},
    {"__cal_crc",
     "\n"
     "        Calculate the CRC of the send command.\n"
     "\n"
     "        :param data: List of bytes representing the message to be sended.\n"
     "        ",
     2, {self, TOLVAN_PARAMETER(data, "list")}, std::nullopt, "None", protocol::cal_crc},
    {"__read",
     "\n"
     "        Read serial data\n"
     "        ",
     1, {self}, std::nullopt, nullptr, link::read},
    {"__write_and_read",
     "\n"
     "        send command and read response data\n"
     "        :param cmd: the command send to serial port\n"
     "        ",
     2, {self, TOLVAN_PARAMETER(cmd, "bytes")}, std::nullopt, nullptr, link::write_and_read},
    {"read_device_version",
     " Read device version\n"
     "        device version: module, hardware, software\n"
     "        :return dict:\n"
     "        {\n"
     "            'module_version': 2,\n"
     "            'hard_version': 50,\n"
     "            'soft_version': 32,\n"
     "        }\n"
     "        ",
     1, {self}, std::nullopt, nullptr, commands::read_device_version},
    {"read_optical_length",
     " Read supported optical length of the channel\n"
     "        :param ch: the channel to query, default 1\n"
     "        :return list:\n"
     "        [1310, 1490, 1535, ...]\n"
     "        ",
     2, {self, ch}, default_channel, nullptr, commands::read_optical_length},
    {"set_optical_length",
     "Set optical length of the channel\n"
     "        :param ch:the channel to query, default 1\n"
     "        :return bool:True if success, else False\n"
     "        ",
     3, {self, TOLVAN_PARAMETER(length, "int"), ch}, default_channel, nullptr, commands::set_optical_length},
    {"read_current_status",
     "Read current status of the channel\n"
     "        :param ch:the channel to query, default 1\n"
     "        :return dict:\n"
     "        {\n"
     "            # For TOLVAN, dev_work_mode always 0\n"
     "            'dev_work_mode': 0,\n"
     "\n"
     "            # 1 means the index 1 in surpported lengths\n"
     "            'optical_lenght_index': 1,\n"
     "\n"
     "            # The TOLVAN device precision is 0.01db\n"
     "            # attenuation value unit is mdb, 1 db = 1000 mdb\n"
     "            'attenuation': 0,\n"
     "        }\n"
     "        ",
     2, {self, ch}, default_channel, nullptr, commands::read_current_status},
    {"close_full_screen",
     "Close Full Screen\n"
     "        :return bool: True if success, else False\n"
     "        ",
     1, {self}, std::nullopt, "bool", commands::close_full_screen},
    {"set_attenuation",
     " Set the attenuation of the channel\n"
     "        The TOLVAN device precision is 0.01db\n"
     "        :param attenuation: unit is mdb, 1 db = 1000 mdb\n"
     "        :param ch: the channel to query, default 1\n"
     "        :return bool: True if success, else False\n"
     "        ",
     3, {self, TOLVAN_PARAMETER(attenuation, "int"), ch}, default_channel, "bool", commands::set_attenuation},
    {"clear_attenuation",
     " Clear the attenuation of the channel\n"
     "        :param ch: the channel to clear, default 1\n"
     "        :return bool: True if success, else False\n"
     "        ",
     2, {self, ch}, default_channel, "bool", commands::clear_attenuation},
    {"dis_connection",
     " Disconnect the connection of the channel\n"
     "        :param ch:the channel to set, default 1\n"
     "        :return bool: True if success, else False\n"
     "        ",
     2, {self, ch}, default_channel, nullptr, commands::dis_connection},
    {"check_port_available",
     " Check whether the port is available\n"
     "        :return bool: True if available, else False\n"
     "        ",
     1, {self}, std::nullopt, "bool", port::check_port_available},
    {"open",
     " open the serial port\n"
     "        :return bool: True if open sucess, else False\n"
     "        ",
     1, {self}, std::nullopt, "bool", port::open},
    {"close", nullptr, 1, {self}, std::nullopt, nullptr, port::close},
};

}  // namespace

std::span<const MethodSpec> driver_methods() { return methods; }

}  // namespace tolvan
