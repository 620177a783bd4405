<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>MainWindow</name>
    <message>
        <source>首页</source>
        <translation>Home</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>查看系统版本</source>
        <translation>System Version</translation>
    </message>
    <message>
        <source>选 择 网 卡 ：</source>
        <translation>Network Adapter:</translation>
    </message>
    <message>
        <source>IP地址：</source>
        <translation>IP Address:</translation>
    </message>
    <message>
        <source>采  样  率 ：</source>
        <translation>Sample Rate:</translation>
    </message>
    <message>
        <source>通 道 数 量 ：</source>
        <translation>Channels:</translation>
    </message>
    <message>
        <source>音频接口：</source>
        <translation>Audio Interface:</translation>
    </message>
    <message>
        <source>初始化中...</source>
        <translation>Initializing...</translation>
    </message>
    <message>
        <source>提示：
1. 只支持有线网卡，不支持无线网卡。 
2. 启动/关闭过程需要几秒时间，请耐心等待。
3. 需要 Debian 12 或更高版本系统。</source>
        <translation>Tips:
1. Only wired network adapters are supported, not wireless ones.
2. Starting and stopping take a few seconds, please wait.
3. Debian 12 or later is required.</translation>
    </message>
    <message>
        <source>当前选择的网卡IP已变化，请重新选择网络后启动</source>
        <translation>The IP address of the selected adapter has changed. Please choose the network again and start.</translation>
    </message>
    <message>
        <source>无法获取设备ID，请检查系统环境后重启软件</source>
        <translation>The device ID is missing. Please check the system and restart the program.</translation>
    </message>
    <message>
        <source>需要连接有线网络</source>
        <translation>A wired network connection is needed.</translation>
    </message>
    <message>
        <source>请在 </source>
        <translation>Please start again in </translation>
    </message>
    <message>
        <source> 秒后开启</source>
        <translation> seconds.</translation>
    </message>
    <message>
        <source>没有使用声卡的权限：请把当前用户加入 %1 组（sudo usermod -aG %1 %2），然后重新登录</source>
        <translation>No permission to use the sound card: add this user to group %1 (sudo usermod -aG %1 %2), then log in again.</translation>
    </message>
    <message>
        <source>启动失败，请检查驱动服务是否正在运行，查看状态：
systemctl status velunor-kernel</source>
        <translation>Start failed. Please check that the driver host service is running; see its status with:
systemctl status velunor-kernel</translation>
    </message>
    <message>
        <source>停止中...</source>
        <translation>Stopping...</translation>
    </message>
    <message>
        <source>启动中...</source>
        <translation>Starting...</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>开启</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>请先停止运行再关闭程序</source>
        <translation>Please stop the sound card before closing the program.</translation>
    </message>
    <message>
        <source>请等程序执行完毕再关闭</source>
        <translation>Please wait until the current operation has finished before closing.</translation>
    </message>
</context>
<context>
    <name>SettingDialog</name>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>关闭主页面</source>
        <translation>Closing the main window</translation>
    </message>
    <message>
        <source>最小化到系统托盘</source>
        <translation>Minimise to the system tray</translation>
    </message>
    <message>
        <source>退出虚拟声卡</source>
        <translation>Exit the sound card</translation>
    </message>
    <message>
        <source>启动设置</source>
        <translation>Start-up</translation>
    </message>
    <message>
        <source>开机后自动打开软件</source>
        <translation>Open the program after logon</translation>
    </message>
    <message>
        <source>打开软件后自动开启服务</source>
        <translation>Start the service when the program opens</translation>
    </message>
    <message>
        <source>杀毒软件可能阻止设置开机后自动打开软件，如果设置无效，请退出杀毒软件后重试。</source>
        <translation>Antivirus programs may block the start after logon. If it has no effect, quit the antivirus program and try again.</translation>
    </message>
    <message>
        <source>时钟域</source>
        <translation>Clock domain</translation>
    </message>
    <message>
        <source>重新开启生效</source>
        <translation>Takes effect after the next start</translation>
    </message>
    <message>
        <source>修复工具</source>
        <translation>Repair tools</translation>
    </message>
    <message>
        <source>修复名称乱码</source>
        <translation>Repair a garbled name</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>保存成功</source>
        <translation>Saved</translation>
    </message>
    <message>
        <source>设置开机自启动失败，可能是权限不足或被杀毒软件拦截，请稍后重试或联系技术支持。</source>
        <translation>Setting the start at logon failed, perhaps for lack of rights or because an antivirus program blocked it. Please try again later or contact support.</translation>
    </message>
    <message>
        <source>修复失败，没有找到配置文件</source>
        <translation>Repair failed: configuration file not found.</translation>
    </message>
    <message>
        <source>修复失败，解析配置文件错误</source>
        <translation>Repair failed: error parsing the configuration file.</translation>
    </message>
    <message>
        <source>修复失败，覆写文件错误</source>
        <translation>Repair failed: error overwriting the file.</translation>
    </message>
    <message>
        <source>修复成功，重启软件生效</source>
        <translation>Repaired. Restart the program for it to take effect.</translation>
    </message>
</context>
<context>
    <name>TipsDialog</name>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>1.只支持有线网卡，不支持无线的


2.启动/关闭过程可能需要几秒钟


3.需要 Debian 12 或更高版本系统</source>
        <translation>1. Only wired network adapters are supported, not wireless ones


2. Starting and stopping may take a few seconds


3. Debian 12 or later is required</translation>
    </message>
    <message>
        <source>查看系统版本</source>
        <translation>System Version</translation>
    </message>
</context>
</TS>
