#!/usr/bin/env python3
"""vpihost serve publishing to a real mosquitto broker (Debian's, started here on free loopback
ports with a password file, and a TLS listener that also asks for a client certificate, with
certificates made by openssl), read back with mosquitto_sub: the retained Home Assistant
discovery configs pass a small schema (required keys, the device classes Home Assistant allows
for each unit), the meters' state carries metersim's pinned values, availability follows honest
health (a silent meter and a meter whose simulator stops are offline), a stopped broker does not
slow the lines, a reload that removes a meter empties its configs, SIGKILL leaves the last will
("offline"), a wrong password leaves serve polling and saying why, and a broker that comes
only after serve started is found, and told "offline" when serve stops.
Usage: serve_mqtt.py VPIHOST METERSIM WORKDIR. Exit 0 pass, 1 fail, 77 no mosquitto."""
import getpass
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import serve_site  # noqa: E402
from serve_site import check  # noqa: E402

USER, PASSWORD = "vpi", "meters-2-broker"
PREFIX = "satec-vpi/test-site"

SITE = """site = "test site"
backoff_max = "4s"
[[line]]
name = "A"
port = "{link_a}"
timeout = "100ms"
[[line.meter]]
name = "one"
address = 1
gates = [{{ gate = "0101", interval = "1s" }}]
plain.0 = {{ name = "voltage L1", unit = "V" }}
plain.1 = {{ name = "current L1", unit = "A" }}
plain.2 = {{ name = "active power", unit = "kW" }}
plain.3 = {{ name = "power factor" }}
plain.4 = {{ name = "import", unit = "kWh" }}
plain.5 = {{ entity = true }}
[[line]]
name = "B"
port = "{link_b}"
timeout = "100ms"
interval = "1s"
[[line.meter]]
name = "two"
address = 2
gates = ["0201"]
plain.0 = {{ name = "voltage L1", unit = "V" }}
plain.16 = {{ name = "frequency", unit = "Hz" }}
[[line.meter]]
name = "three"
address = 3
gates = ["0301"]
plain.0 = {{ entity = true }}
"""

# What Home Assistant's MQTT sensor needs, and the units it allows for each device class used
# here (a sensor of a class in a unit the class does not list is refused).
REQUIRED = ("name", "unique_id", "state_topic", "value_template", "availability",
            "availability_mode", "device", "state_class")
UNITS_OF_CLASS = {
    "energy": {"Wh", "kWh", "MWh", "GWh", "MJ", "GJ"},
    "power": {"W", "kW", "MW", "GW", "TW"},
    "apparent_power": {"VA"},
    "reactive_power": {"var"},
    "voltage": {"V", "mV", "kV"},
    "current": {"A", "mA"},
    "frequency": {"Hz", "kHz", "MHz", "GHz"},
    "power_factor": {None, "%"},
}
STATE_CLASSES = {"measurement", "total", "total_increasing"}
# Each named value of the site file: its device class and unit as Home Assistant must get them.
EXPECTED = {
    ("one", "plain.0"): ("voltage", "V", "measurement"),
    ("one", "plain.1"): ("current", "A", "measurement"),
    ("one", "plain.2"): ("power", "kW", "measurement"),
    ("one", "plain.3"): ("power_factor", None, "measurement"),
    ("one", "plain.4"): ("energy", "kWh", "total_increasing"),
    ("one", "plain.5"): (None, None, "measurement"),
    ("two", "plain.0"): ("voltage", "V", "measurement"),
    ("two", "plain.16"): ("frequency", "Hz", "measurement"),
    ("three", "plain.0"): (None, None, "measurement"),
}


def run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs)


def make_certificates(work):
    """A CA, the broker's certificate for localhost, and a client certificate, all by openssl."""
    def path(name):
        return os.path.join(work, name)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-keyout", path("ca.key"), "-out", path("ca.crt"), "-subj", "/CN=test CA"])
    for name, subject, extension in (
            ("server", "/CN=localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1"),
            ("client", "/CN=vpihost", "extendedKeyUsage=clientAuth")):
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"),
             "-out", path(name + ".csr"), "-subj", subject])
        with open(path(name + ".ext"), "w") as f:
            f.write(extension + "\n")
        run(["openssl", "x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.crt"),
             "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "2", "-out",
             path(name + ".crt"), "-extfile", path(name + ".ext")])
    return path


class Broker:
    """mosquitto on two free loopback ports: plain with a password, and TLS with a password and
    a client certificate."""

    def __init__(self, work):
        self.work = work
        cert = make_certificates(work)
        self.ca = cert("ca.crt")
        self.client_cert, self.client_key = cert("client.crt"), cert("client.key")
        passwords = os.path.join(work, "passwords")
        run(["mosquitto_passwd", "-c", "-b", passwords, USER, PASSWORD])
        self.port, self.tls_port = serve_site.free_port(), serve_site.free_port()
        config = os.path.join(work, "mosquitto.conf")
        with open(config, "w") as f:
            f.write(f"""user {getpass.getuser()}
persistence false
per_listener_settings false
allow_anonymous false
password_file {passwords}
log_dest file {os.path.join(work, "mosquitto.log")}
listener {self.port} 127.0.0.1
listener {self.tls_port} 127.0.0.1
cafile {self.ca}
certfile {cert("server.crt")}
keyfile {cert("server.key")}
require_certificate true
""")
        self.config = config
        self.start()

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not serve_site.wait_for(lambda: self.retained("nothing/yet", 1) is not None, 15):
            raise RuntimeError("mosquitto did not start: " + self.log())

    def log(self):
        with open(os.path.join(self.work, "mosquitto.log")) as f:
            return f.read()

    def sub_args(self):
        return ["-h", "127.0.0.1", "-p", str(self.port), "-u", USER, "-P", PASSWORD]

    def retained(self, topic, wait=2):
        """{topic: payload} of the retained messages under `topic` (a filter); None when the
        broker does not answer."""
        try:
            done = subprocess.run(["mosquitto_sub"] + self.sub_args() +
                                  ["-t", topic, "--retained-only", "-W", str(wait), "-F", "%j"],
                                  capture_output=True, text=True, timeout=wait + 10)
        except subprocess.TimeoutExpired:
            return None
        if done.returncode not in (0, 27):  # 27: the -W time-out, which ends every snapshot
            return None
        found = {}
        for line in done.stdout.splitlines():
            message = json.loads(line)
            found[message["topic"]] = message["payload"]
        return found

    def stop(self):
        serve_site.terminate(self.process)


class Listener:
    """mosquitto_sub on every topic, for the whole run: what arrived, in order."""

    def __init__(self, broker, work):
        self.path = os.path.join(work, "all-messages.jsonl")
        self.process = subprocess.Popen(["mosquitto_sub"] + broker.sub_args() +
                                        ["-t", "#", "-F", "%j"], stdout=open(self.path, "w"),
                                        stderr=subprocess.DEVNULL)

    def messages(self, topic=None):
        with open(self.path) as f:
            lines = [json.loads(l) for l in f.read().splitlines() if l.strip()]
        return [m for m in lines if topic is None or m["topic"] == topic]

    def last(self, topic):
        found = self.messages(topic)
        return found[-1]["payload"] if found else None

    def stop(self):
        serve_site.terminate(self.process)


def metric(url, name):
    _, body = serve_site.get(url + "/metrics")
    found = re.search(r"^%s (\S+)$" % re.escape(name), body, re.MULTILINE)
    return float(found.group(1)) if found else None


def reads_of(url):
    _, body = serve_site.get(url + "/api/v1/status")
    return sum(line["reads"] for line in json.loads(body)["lines"])


def mqtt_table(broker, tls, password=PASSWORD):
    if tls:
        return (f'[mqtt]\nhost = "localhost"\nport = {broker.tls_port}\nusername = "{USER}"\n'
                f'password = "{password}"\nqos = 1\n'
                f'tls = {{ ca_file = "{broker.ca}", cert_file = "{broker.client_cert}", '
                f'key_file = "{broker.client_key}" }}\n')
    return (f'[mqtt]\nhost = "127.0.0.1"\nport = {broker.port}\nusername = "{USER}"\n'
            f'password = "{password}"\n')


def discovery(broker):
    configs = serve_site.wait_for(lambda: len(broker.retained("homeassistant/#") or {}) >= 9, 30)
    configs = broker.retained("homeassistant/#") or {}
    check(len(configs) == 9, "nine retained discovery configs, one per value with an entity "
          "(got %d)" % len(configs))
    seen = {}
    for topic, payload in sorted(configs.items()):
        config = json.loads(payload)
        missing = [k for k in REQUIRED if k not in config]
        check(not missing, "%s has every required key (missing %s)" % (topic, missing))
        check(re.fullmatch(r"homeassistant/sensor/[A-Za-z0-9_-]+/[A-Za-z0-9_-]+/config", topic)
              is not None, "%s: node and object ids as Home Assistant takes them" % topic)
        device_class = config.get("device_class")
        unit = config.get("unit_of_measurement")
        if device_class is not None:
            check(unit in UNITS_OF_CLASS.get(device_class, set()),
                  "%s: unit %r is one device class %s allows" % (topic, unit, device_class))
        check(config.get("state_class") in STATE_CLASSES, "%s: a state class Home Assistant "
              "knows (%s)" % (topic, config.get("state_class")))
        device = config.get("device", {})
        check(device.get("identifiers") and device.get("name"),
              "%s: the device has identifiers and a name" % topic)
        availability = [a.get("topic") for a in config.get("availability", [])]
        meter = device.get("name")
        check(availability == [PREFIX + "/status", "%s/%s/%s/availability" % (
            PREFIX, "a" if meter == "one" else "b", meter)] and
            config.get("availability_mode") == "all",
            "%s: available only while the service and the meter are (%s)" % (topic, availability))
        key = re.search(r"value_json\['([^']+)'\]\.value", config.get("value_template", ""))
        seen[(meter, key.group(1) if key else None)] = (device_class, unit,
                                                        config.get("state_class"))
        check(config.get("state_topic") == "%s/%s/%s/state" % (
            PREFIX, "a" if meter == "one" else "b", meter), "%s: the meter's state topic" % topic)
    check(seen == EXPECTED, "each value's device class, unit and state class from its unit "
          "(%s)" % {k: v for k, v in seen.items() if EXPECTED.get(k) != v})
    ids = [json.loads(p)["unique_id"] for p in configs.values()]
    check(len(set(ids)) == len(ids), "unique ids are unique")
    return configs


def states(listener):
    def value(meter, key):
        payload = listener.last("%s/%s/state" % (PREFIX, meter))
        if not payload:
            return None
        return json.loads(payload).get(key, {}).get("value")
    for (line, meter, gate, index), pinned in serve_site.PINNED.items():
        if gate.endswith("H2"):
            continue  # not a gate of this site
        topic_meter = "%s/%s" % (line.lower(), meter)
        key = "plain.%d" % index
        got = serve_site.wait_for(lambda: value(topic_meter, key), 30)
        check(got == pinned, "%s state %s = metersim's pinned %s (got %s)" % (meter, key, pinned,
                                                                               got))
    state = json.loads(listener.last(PREFIX + "/a/one/state") or "{}")
    item = state.get("plain.0", {})
    check(item.get("name") == "voltage L1" and item.get("unit") == "V" and
          re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", item.get("time", "")),
          "a value's state has its name, unit and read time (%s)" % item)
    check("plain.6" in state and "name" not in state["plain.6"],
          "values without a name are in the state too, without an entity (%s)" %
          state.get("plain.6"))


def availability(broker, site):
    def avail():
        return broker.retained(PREFIX + "/+/+/availability") or {}
    wanted = {PREFIX + "/a/one/availability": "online", PREFIX + "/b/two/availability": "online",
              PREFIX + "/b/three/availability": "offline"}
    got = serve_site.wait_for(lambda: avail() == wanted and avail(), 30)
    check(got == wanted, "availability: the answering meters online, the silent one offline (%s)"
          % avail())
    status = broker.retained(PREFIX + "/status")
    check(status == {PREFIX + "/status": "online"}, "the service is online (%s)" % status)
    check(metric(site.url, 'vpi_output_connected{output="mqtt"}') == 1 and
          (metric(site.url, 'vpi_output_published_total{output="mqtt"}') or 0) > 0,
          "/metrics: the output is connected and has published")
    if shutil.which("promtool"):
        _, body = serve_site.get(site.url + "/metrics")
        lint = subprocess.run(["promtool", "check", "metrics"], input=body, text=True,
                              capture_output=True)
        check(lint.returncode == 0 and "vpi_output_dropped_total" in body,
              "promtool passes /metrics with the output's families: " +
              (lint.stdout + lint.stderr).strip())


def slow_broker(broker, site):
    """The broker stopped (SIGSTOP): it acknowledges nothing (QoS 1), the lines read on."""
    published = 'vpi_output_published_total{output="mqtt"}'
    before = reads_of(site.url)
    broker.process.send_signal(signal.SIGSTOP)
    try:
        taken = metric(site.url, published)
        time.sleep(5)
        after = reads_of(site.url)
        taken_meanwhile = metric(site.url, published) - taken
    finally:
        broker.process.send_signal(signal.SIGCONT)
    check(taken_meanwhile <= 2, "the stopped broker took nothing (%d messages)" % taken_meanwhile)
    # Line A reads meter one and line B meter two each second; meter three is backed off.
    check(after - before >= 6, "while the lines read on (%d reads in 5 s)" % (after - before))
    check(serve_site.wait_for(lambda: metric(site.url, published) > taken + taken_meanwhile, 30),
          "and once it goes on, messages flow again")


def reload_without_meter(broker, site, listener, configs):
    gone = [t for t, p in configs.items() if json.loads(p)["device"]["name"] == "three"]
    check(len(gone) == 1, "meter three has one config before the reload (%s)" % gone)
    with open(site.config) as f:
        text = f.read()
    start = text.index('[[line.meter]]\nname = "three"')
    end = text.index("[mqtt]")
    # qos changes too: a broker setting, which waits for the next start, and serve says so.
    with open(site.config, "w") as f:
        f.write(text[:start] + text[end:].replace("qos = 1\n", "qos = 0\n"))
    site.serve.send_signal(signal.SIGHUP)
    check(bool(serve_site.wait_for(lambda: "reloaded" in site.errors(), 30)), "SIGHUP reloads")
    check("[mqtt] has changed: the broker settings take effect when serve starts again" in
          site.errors(), "a changed [mqtt] is said to wait for the next start")
    left = serve_site.wait_for(lambda: len(broker.retained("homeassistant/#") or {}) == 8 and
                               broker.retained("homeassistant/#"), 30) or {}
    check(len(left) == 8 and not set(gone) & set(left),
          "the removed meter's config is no longer retained (%d left)" % len(left))
    # mosquitto_sub shows an empty payload as null.
    emptied = [m for m in listener.messages(gone[0] if gone else None)
               if m["payloadlen"] == 0 and m["payload"] in ("", None)]
    check(bool(emptied), "it was emptied with an empty message (%s)" % emptied)
    check(PREFIX + "/b/three/availability" not in (broker.retained(PREFIX + "/+/+/availability")
                                                   or {}),
          "and its availability topic is cleared")


def unplug(broker, site):
    site.unplug(0)
    got = serve_site.wait_for(lambda: (broker.retained(PREFIX + "/a/one/availability") or {}).get(
        PREFIX + "/a/one/availability") == "offline", 30)
    check(bool(got), "meter one goes offline when its simulator stops")
    check("port-closed" in serve_site.get(site.url + "/api/v1/status")[1],
          "as its health says (port closed)")


def killed(broker, site):
    site.serve.send_signal(signal.SIGKILL)
    site.serve.wait(10)
    got = serve_site.wait_for(lambda: broker.retained(PREFIX + "/status") ==
                              {PREFIX + "/status": "offline"}, 30)
    check(bool(got), "SIGKILL: the broker sends the last will, status offline (%s)" %
          broker.retained(PREFIX + "/status"))


def wrong_password(vpihost, broker, site, work):
    with open(site.config) as f:
        text = f.read()
    config = os.path.join(work, "wrong.toml")
    with open(config, "w") as f:
        f.write(text[:text.index("[mqtt]")] + mqtt_table(broker, False, "not-the-password"))
    err_path = os.path.join(work, "wrong.err")
    serve = subprocess.Popen([vpihost, "--quiet", "serve", "--config", config, "--listen",
                              "127.0.0.1:0"], stdout=subprocess.PIPE,
                             stderr=open(err_path, "w"), text=True)
    try:
        first = serve.stdout.readline()
        check("serving" in first, "serve starts with a wrong broker password (%s)" % first.strip())
        url = first.strip().split(" on ")[-1].rstrip("/")
        said = serve_site.wait_for(lambda: "refused the connection" in open(err_path).read(), 30)
        err = open(err_path).read()
        check(bool(said) and "mqtt: broker 127.0.0.1:%d refused the connection: Connection "
              "Refused: not authorised; trying again" % broker.port in err,
              "and says why the broker refused it (%s)" %
              [l for l in err.splitlines() if "mqtt" in l])
        before = reads_of(url)
        check(serve_site.wait_for(lambda: reads_of(url) >= before + 3, 15),
              "while it polls on")
        check(metric(url, 'vpi_output_connected{output="mqtt"}') == 0,
              "/metrics: the output is not connected")
        check(err.count("refused the connection") == 1, "said once, not at every retry")
    finally:
        serve_site.terminate(serve, 20)


def late_broker(vpihost, broker, site, work):
    """serve started while the broker is away finds it once it is there (and announces itself
    again to a broker that kept nothing); SIGTERM then says goodbye with status offline."""
    with open(site.config) as f:
        text = f.read()
    config = os.path.join(work, "late.toml")
    with open(config, "w") as f:
        f.write(text[:text.index("[mqtt]")] + mqtt_table(broker, False))
    broker.stop()
    err_path = os.path.join(work, "late.err")
    serve = subprocess.Popen([vpihost, "--quiet", "serve", "--config", config, "--listen",
                              "127.0.0.1:0"], stdout=subprocess.PIPE,
                             stderr=open(err_path, "w"), text=True)
    try:
        first = serve.stdout.readline()
        url = first.strip().split(" on ")[-1].rstrip("/")
        check(serve_site.wait_for(lambda: reads_of(url) >= 3, 15),
              "serve polls while the broker is away")
        check(metric(url, 'vpi_output_connected{output="mqtt"}') == 0,
              "not connected meanwhile")
        broker.start()
        # The tries back off up to a minute: on a slow machine the next may be that far.
        connected = serve_site.wait_for(
            lambda: metric(url, 'vpi_output_connected{output="mqtt"}') == 1, 70)
        check(bool(connected), "it connects once the broker is there (%s)" %
              [l for l in open(err_path).read().splitlines() if "mqtt" in l])
        check(serve_site.wait_for(lambda: len(broker.retained("homeassistant/#") or {}) == 8, 15),
              "and announces its entities to the broker, which had kept nothing")
        check(serve_site.wait_for(lambda: broker.retained(PREFIX + "/status") ==
                                  {PREFIX + "/status": "online"}, 15), "status online")
        # The broker goes away and comes back: libmosquitto's own reconnect this time.
        broker.stop()
        check(serve_site.wait_for(
            lambda: metric(url, 'vpi_output_connected{output="mqtt"}') == 0, 15),
            "the lost connection is seen")
        broker.start()
        check(serve_site.wait_for(
            lambda: metric(url, 'vpi_output_connects_total{output="mqtt"}') == 2 and
            len(broker.retained("homeassistant/#") or {}) == 8, 70),
            "and made again, everything announced anew (%s)" %
            [l for l in open(err_path).read().splitlines() if "mqtt" in l])
        serve.send_signal(signal.SIGTERM)
        code = serve.wait(20)
        check(code == 0 and broker.retained(PREFIX + "/status") == {PREFIX + "/status": "offline"},
              "SIGTERM: status offline, said by serve itself (exit %s, %s)" % (
                  code, broker.retained(PREFIX + "/status")))
    finally:
        serve_site.terminate(serve, 20)


def main():
    vpihost, metersim, workdir = sys.argv[1:4]
    for tool in ("mosquitto", "mosquitto_sub", "mosquitto_passwd", "openssl"):
        if shutil.which(tool) is None:
            print("SKIP: %s is not installed (tools/install-deps.sh --serve)" % tool)
            return 77
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    broker = Broker(workdir)
    listener = Listener(broker, workdir)
    try:
        site_text = SITE + mqtt_table(broker, True).replace("{", "{{").replace("}", "}}")
        with serve_site.Site(vpihost, metersim, site=site_text) as site:
            checked = subprocess.run([vpihost, "check-config", site.config], capture_output=True,
                                     text=True)
            check(checked.returncode == 0 and "%s: MQTT to localhost:%d over TLS, topics under "
                  "%s, discovery under homeassistant" % (site.config, broker.tls_port, PREFIX)
                  in checked.stdout, "check-config says where the readings go (%s)" %
                  checked.stdout.strip())
            configs = discovery(broker)
            states(listener)
            availability(broker, site)
            slow_broker(broker, site)
            reload_without_meter(broker, site, listener, configs)
            unplug(broker, site)
            killed(broker, site)
            wrong_password(vpihost, broker, site, workdir)
            late_broker(vpihost, broker, site, workdir)
            err = site.errors()
            check("mqtt: connected to broker localhost:%d" % broker.tls_port in err,
                  "serve said it connected over TLS")
    finally:
        listener.stop()
        broker.stop()
    return serve_site.finish()


if __name__ == "__main__":
    sys.exit(main())
