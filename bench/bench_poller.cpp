// The site poller's cost per read against the plain poll loop, on the same simulated line:
// both call the real module through VpiMain (operation 6) for the same gates of one meter; the
// poller adds its schedule, locks, statistics and log sorting. Figures are process CPU time and
// wall time per read, as "key value" lines. The third figure is the poller with the Modbus TCP
// face on and a client reading a meter's values from it every 100 ms, as a PLC polls (the
// client's own CPU, a few socket calls a read, is in the figure too). Given a broker's port, the
// poller once more with the MQTT output on, sending each read's state to the broker on 127.0.0.1
// (anonymous).
// Usage: vpi_bench_poller [seconds [mqtt-port]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_steps.h"
#include "core/reading.h"
#include "outputs/modbus_server.h"
#include "outputs/mqtt_output.h"
#include "platform/metersim_process.h"
#include "site/site_config.h"
#include "site/site_gates.h"
#include "site/site_poller.h"

namespace {

// Every gate of the line, each every 100 ms (the shortest a site file allows): more than the
// line carries, so the poller reads as fast as the line lets it, as the plain loop does.
const std::vector<std::string> kGates{"0101",   "0101H1",   "0101H2",
                                      "01TR11", "01TD0101", "01EX1001:4"};

double CpuUs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double WallUs() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string SiteText(const std::string& port) {
    std::string gates;
    for (const std::string& gate : kGates) gates += "\"" + gate + "\", ";
    return "[[line]]\nname = \"bench\"\nport = \"" + port +
           "\"\ninterval = \"100ms\"\n[[line.meter]]\nname = \"m\"\naddress = 1\ngates = [" +
           gates + "]\n";
}

struct Figures {
    long reads = 0;
    long failures = 0;
    double cpuUs = 0;
    double wallUs = 0;
};

Figures PlainLoop(host::core::LoadedDriver& driver, host::site::SiteLine& line, double seconds) {
    host::core::Channel channel;
    Figures f;
    if (channel.Check(line.options) != host::core::ChannelProblem::None ||
        channel.Prepare(driver) != host::core::ChannelProblem::None ||
        channel.Open() != host::core::ChannelProblem::None)
        return f;
    const double cpu = CpuUs();
    const double wall = WallUs();
    while (WallUs() - wall < seconds * 1e6) {
        for (host::site::SiteGate& gate : line.meters[0].gates) {
            host::core::LogTally tally;
            const host::core::Reading r =
                host::core::ReadGate(driver, channel, gate.gate, gate.ex, &tally);
            ++f.reads;
            if (r.result != 0) ++f.failures;
        }
    }
    f.cpuUs = CpuUs() - cpu;
    f.wallUs = WallUs() - wall;
    return f;
}

Figures Poller(host::core::LoadedDriver& driver, const host::site::PreparedSite& site,
               double seconds) {
    Figures f;
    host::site::SitePoller poller(driver, site);
    std::unique_ptr<host::outputs::MqttOutput> mqtt;
    if (site.mqtt.enabled) {
        mqtt = std::make_unique<host::outputs::MqttOutput>(
            site, poller.Feed().Subscribe("mqtt", 1024), [&poller] { return poller.Status(); },
            [](const std::string& text) { std::fprintf(stderr, "mqtt: %s\n", text.c_str()); });
        std::string error;
        if (!mqtt->Start(&error)) {
            std::fprintf(stderr, "vpi_bench_poller: %s\n", error.c_str());
            return f;
        }
    }
    const double cpu = CpuUs();
    const double wall = WallUs();
    poller.Start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    poller.Stop();
    if (mqtt) mqtt->Stop();
    for (const host::site::OutputStatus& output : poller.Status().outputs) {
        std::printf("%s.published %lld\n%s.dropped %lld\n", output.name.c_str(),
                    static_cast<long long>(output.published), output.name.c_str(),
                    static_cast<long long>(output.droppedQueue + output.droppedUndelivered));
    }
    f.cpuUs = CpuUs() - cpu;
    f.wallUs = WallUs() - wall;
    for (const host::site::GateStatus& g : poller.Status().lines[0].meters[0].gates) {
        f.reads += g.results[0] + g.results[1] + g.results[2];
        f.failures += g.results[1] + g.results[2];
    }
    return f;
}

// A Modbus TCP client of its own: reads 14 registers of unit 1's values every 100 ms until
// `stop`; the number of answers it had.
long ModbusClient(int port, const std::atomic<bool>& stop) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long answers = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::uint8_t request[] = {0, 1, 0, 0, 0, 6, 1, 4, 0x03, 0xE8, 0, 14};
        std::uint8_t reply[64];
        while (!stop) {
            if (send(fd, request, sizeof request, 0) != static_cast<ssize_t>(sizeof request) ||
                recv(fd, reply, sizeof reply, 0) <= 0)
                break;
            ++answers;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    close(fd);
    return answers;
}

Figures PollerWithModbus(host::core::LoadedDriver& driver, host::site::PreparedSite site,
                         double seconds, long* answers) {
    Figures f;
    site.modbusTcp.enabled = true;
    site.modbusTcp.port = 0;
    site.lines[0].meters[0].modbusUnit = 1;
    host::site::SitePoller poller(driver, site);
    std::vector<std::string> problems;
    host::outputs::ModbusServer face(poller, site.modbusTcp,
                                     host::outputs::BuildModbusMap(site, &problems));
    std::string error;
    const int port = face.Bind(&error);
    if (port < 0) {
        std::fprintf(stderr, "vpi_bench_poller: Modbus TCP: %s\n", error.c_str());
        return f;
    }
    std::atomic<bool> stop{false};
    const double cpu = CpuUs();
    const double wall = WallUs();
    poller.Start();
    face.Start();
    std::thread client([&] { *answers = ModbusClient(port, stop); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    client.join();
    face.Stop();
    poller.Stop();
    f.cpuUs = CpuUs() - cpu;
    f.wallUs = WallUs() - wall;
    for (const host::site::GateStatus& g : poller.Status().lines[0].meters[0].gates) {
        f.reads += g.results[0] + g.results[1] + g.results[2];
        f.failures += g.results[1] + g.results[2];
    }
    return f;
}

void Print(const char* name, const Figures& f) {
    const double reads = f.reads > 0 ? static_cast<double>(f.reads) : 1;
    std::printf(
        "%s.reads %ld\n%s.cpu_us_per_read %.1f\n%s.wall_us_per_read %.1f\n"
        "%s.failures %ld\n",
        name, f.reads, name, f.cpuUs / reads, name, f.wallUs / reads, name, f.failures);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 5;
    const std::string link = "/tmp/bp" + std::to_string(getpid() % 10000);
    host::platform::MeterSimProcess sim;
    if (sim.Start({METERSIM_PATH, "--meter", "01", "--seed", "3", "--link", link}) !=
        host::platform::SimStart::Started) {
        std::fprintf(stderr, "vpi_bench_poller: metersim did not start\n");
        return 1;
    }
    host::core::LoadedDriver driver;
    std::string error;
    if (!driver.Load("", &error)) {
        std::fprintf(stderr, "vpi_bench_poller: %s\n", error.c_str());
        return 1;
    }
    driver.Log().Install(true);
    const host::site::SiteConfigResult config =
        host::site::ParseSiteConfig(SiteText(link), "bench.toml");
    host::site::PreparedSite site = host::site::PrepareSite(driver, config.site);
    for (const host::site::ConfigError& e : config.errors)
        std::fprintf(stderr, "%s\n", e.Text().c_str());
    for (const host::site::ConfigError& e : site.errors)
        std::fprintf(stderr, "%s\n", e.Text().c_str());
    if (!config.errors.empty() || !site.errors.empty()) return 1;
    Print("plain", PlainLoop(driver, site.lines[0], seconds));
    Print("poller", Poller(driver, site, seconds));
    long answers = 0;
    Print("poller_modbus", PollerWithModbus(driver, site, seconds, &answers));
    std::printf("poller_modbus.client_answers %ld\n", answers);
    if (argc > 2) {
        site.mqtt.enabled = true;
        site.mqtt.host = "127.0.0.1";
        site.mqtt.port = std::stoi(argv[2]);
        site.mqtt.topicPrefix = "bench";
        Print("poller_mqtt", Poller(driver, site, seconds));
    }
    return 0;
}
