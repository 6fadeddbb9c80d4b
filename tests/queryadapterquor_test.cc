// The commands end to end against the stand-in helper.
#include "testutil.h"

#include <gtest/gtest.h>

const std::string STORE = STORE_BIN, DEV = TAMSKDEV_BIN, QUERY = QUERY_BIN;

TEST(Commands, CommandLinesAndOutcomes)
{
    EXPECT_EQ(transcribe("query-options.t"), golden("query-options.t"));
    EXPECT_EQ(transcribe("operator-commands.t"), golden("operator-commands.t"));
    // Output that does not reach standard output is a failure (for tamskdev a failed transfer).
    for (auto [program, status] : {std::pair{DEV, 32}, {STORE, 1}, {std::string(HELPERD_BIN), 1}}) {
        const std::string name = program.substr(program.rfind('/') + 1);
        EXPECT_EQ(waitProgram(startProgram({program, "--help"}, "/dev/full", "/home/full.err")), status) << name;
        EXPECT_EQ(readFile("/home/full.err"), name + ": write error: No space left on device\n");
    }
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    mkdir(TAMSK_CONFIG_FILE, 0755); // a store that cannot rewrite the file
    EXPECT_NE(runProgram({STORE, "-a", "B00", "-p", "1", "-t", "2"}).err.find(
              "storetopology: storing B00 port 1 value 2 failed; the reasons are in the controller's message log "
              "(the event log of ioctlhelperd on a test rig)\n"), std::string::npos);
    rmdir(TAMSK_CONFIG_FILE);
    // A helper that refuses messages: the first failure sends them all to standard output.
    writeFile(TAMSK_CONFIG_FILE, "B00:0:2 \n");
    pid_t helper = startHelperd({"-m", DATA_DIR "/models/refuse.model", "-l", "/home/events.log"});
    RunResult r = runProgram({STORE, "--adapter=B00", "--port=0", "--topology=3", "--verbose"});
    EXPECT_EQ(stopHelperd(helper), 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, golden("store-verbose.txt"));
    EXPECT_EQ(countOf(readFile("/home/events.log"), " message "), 1);
    EXPECT_EQ(readFile(TAMSK_CONFIG_FILE), "B00:0:3 \n");
}

TEST(OperatorCommands, ConcurrentStoresAndDeviceStreamThroughTheHelper)
{
    pid_t helper = startHelperd();
    mkdir("/home/tamsk/config", 0755);
    mkdir("/home/tamsk/devices", 0755); // the helper's default device directory
    std::vector<pid_t> stores;
    for (int i = 10; i < 42; ++i)
        stores.push_back(startProgram({STORE, "-a", "C" + std::to_string(i), "-p", "1", "-t", "1"}, "/dev/null", "/dev/null"));
    for (pid_t p : stores)
        EXPECT_EQ(0, waitProgram(p)); // each waits for the others
    const std::string file = readFile(TAMSK_CONFIG_FILE);
    for (int i = 10; i < 42; ++i)
        EXPECT_EQ(1, countOf(file, "C" + std::to_string(i) + ":1:1 \n")) << file;
    std::string data;
    for (uint32_t i = 0; data.size() <= 1u << 20; ++i) // the last write has a single byte
        data += char((i * 2654435761u) >> 11);
    writeFile("/home/data", data);
    writeFile("/home/tamsk/devices/disk0", "");
    EXPECT_EQ(0, runProgram({DEV, "write", "disk0"}, "/home/data").status);
    RunResult back = runProgram({DEV, "read", "disk0"});
    EXPECT_EQ(0, back.status);
    EXPECT_TRUE(back.out == data) << back.out.size() << " bytes";
    EXPECT_EQ(32, waitProgram(startProgram({DEV, "read", "disk0"}, "/dev/full", "/dev/null"))); // output lost early
    EXPECT_EQ(0, stopHelperd(helper));
}

TEST(QueryOutcome, AnswersAndReportsOfTheModel)
{
    mkdir("/home/tamsk", 0755);
    mkdir("/home/tamsk/config", 0755);
    writeFile(TAMSK_CONFIG_FILE, "B00:0:2 \nB00:1:2 \nB06:2:4 \n");
    pid_t helper = startHelperd({"-m", DATA_DIR "/models/query.model", "-l", "/home/query.log"});
    EXPECT_EQ(transcribe("query.t"), golden("query.t"));
    EXPECT_EQ(stopHelperd(helper), 0);
    EXPECT_EQ(eventLog("/home/query.log"), golden("query-events.txt")); // the report never forces a reload
    EXPECT_EQ(readFile("/home/helperd.err"), ""); // clients that leave between packets are no news
}

// The trees of tests/data as kernels lay them out: class/fc_host links to each host's fc_host directory
// (in sysfs-vio, class/fc_host is a link itself); the older layout (the attributes in class/fc_host/hostN,
// with a device link) and a copy (plain directories) are made from sysfs. The helper serves /home/tree;
// a port comes online under it, hosts come and go, and hostile entries change nothing, in time.
TEST(QueryOutcome, AnswersFromTheFibreChannelHostsOfASysfsTree)
{
    const std::string link = "for d in $(find devices -path '*/fc_host/host*' -prune); do ln -s ../../$d class/fc_host; done";
    pid_t helper = startHelperd({"--sysfs", "/home/tree", "-l", "/home/sysfs.log"});
    ASSERT_EQ(0, system(("cp -a " DATA_DIR "/sysfs " DATA_DIR "/sysfs-vio /home && cd /home/sysfs && mkdir -p class/fc_host && " + link +
                         " && cp -rL . ../copy && cp -a . ../old && cd ../old && for l in class/fc_host/*; do d=$(readlink $l) &&"
                         " rm $l && mv class/fc_host/$d $l && ln -s ../${d%/fc_host/*} $l/device; done && cd ../sysfs-vio &&"
                         " mkdir class devices/fc && ln -s ../devices/fc class/fc_host && " + link + " && ln -s sysfs /home/tree &&"
                         " mkdir -p /home/tamsk/config /home/out/devices/pci0000:00/0000:01:00.0/host9/fc_host/host9").c_str()));
    EXPECT_EQ(transcribe("sysfs.t"), golden("sysfs.t"));
    EXPECT_EQ(readFile("/home/helperd.err"), "ioctlhelperd: warning: /home/tree holds no class/fc_host (No such file or directory)\n");
    EXPECT_EQ(transcribe("sysfs-list.t"), golden("sysfs-list.t"));
    ASSERT_EQ(0, system("ln -sfn old /home/tree"));
    EXPECT_EQ(transcribe("sysfs.t"), golden("sysfs.t")); // the older layout answers as the current one
    ASSERT_EQ(0, system("ln -sfn copy /home/tree"));
    EXPECT_EQ(runProgram({QUERY, "-l", "wyrafc000"}).status, 2); // the event log says why
    ASSERT_EQ(0, system("ln -sfn sysfs /home/tree"));
    // FCoE hosts on a card and a VLAN, a virtual port and the card above go, dangle and come back
    for (std::string h : {"host3", "host4", "host20", "host2"})
        for (std::string step : {"mv $l /home", "mv /home/$h $l && mv $(readlink -f $l) /home/$h.d", "mv /home/$h.d $(readlink -m $l)"}) {
            ASSERT_EQ(0, system(("cd /home/sysfs && h=" + h + " && l=class/fc_host/$h && " + step).c_str()));
            RunResult r = runProgram({QUERY, "-l", "wyrafc000", "-p", "1"});
            EXPECT_TRUE(r.status == 0 && r.out.find("port 1 (host5)") != std::string::npos) << h << ": " << step << "\n" << r.out;
        }
    ASSERT_EQ(0, system("cd /home/sysfs/devices/pci0000:00/0000:00:03.0/0000:3b:00.1/host5/fc_host/host5 && "
                        "echo Online > port_state && echo 'NPort (fabric via point-to-point)' > port_type"));
    EXPECT_EQ(transcribe("sysfs-online.t"), golden("sysfs-online.t"));
    ASSERT_EQ(0, system("cd /home/sysfs && h=devices/pci0000:5d/0000:5d:02.0/0000:5e:00.0/host2/fc_host/host2 && "
                        "echo 0x21000a0b0c0d0e31 > $h/port_name && truncate -s 1G $h/port_name && "
                        "rm $h/symbolic_name && mkfifo $h/symbolic_name && ln -s loop devices/loop && "
                        "ln -s ../../devices/loop/0000:00:01.0/host8/fc_host/host8 class/fc_host/host8 && "
                        "out=out/devices/pci0000:00/0000:01:00.0/host9/fc_host/host9 && "
                        "ln -s ../../../$out class/fc_host/host9 && ln -s /home/$out class/fc_host/host10 && "
                        "ln -s /home/out/devices devices/escape && "
                        "ln -s ../../devices/escape/pci0000:00/0000:01:00.0/host9/fc_host/host9 class/fc_host/host11 && "
                        "for i in $(seq 10 74); do d=devices/pci0000:80/0000:80:$i.0/host1$i/fc_host;"
                        " mkdir -p $d/host1$i && ln -s ../../$d/host1$i class/fc_host/host1$i; done && p=${h%/fc_host/*} &&"
                        " seq 3000 5099 | sed \"s|.*|$p/vport-2:0-&/host&/fc_host/host&|\" | xargs mkdir -p &&"
                        " seq 3000 5099 | sed \"s|.*|../../$p/vport-2:0-&/host&/fc_host/host&|\" | xargs ln -s -t class/fc_host &&"
                        " d=devices/$(printf 'd/%.0s' $(seq 30))0000:00:02.0/host12/fc_host/host12 && mkdir -p $d &&"
                        " ln -s ../../$d class/fc_host && mkdir -p class/fc_host/host13/device class/fc_host/host14 &&"
                        " ln -s ../../../host14 class/fc_host/host14/device"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transcribe("sysfs-hostile.t"), golden("sysfs-hostile.t"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(stopHelperd(helper), 0);
    EXPECT_EQ(eventLog("/home/sysfs.log"), golden("sysfs-events.txt"));
}
