<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>MainWindow</name>
    <message>
        <source>首页</source>
        <translation>首页</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>查看系统版本</source>
        <translation>查看系统版本</translation>
    </message>
    <message>
        <source>选 择 网 卡 ：</source>
        <translation>选 择 网 卡 ：</translation>
    </message>
    <message>
        <source>IP地址：</source>
        <translation>IP地址：</translation>
    </message>
    <message>
        <source>采  样  率 ：</source>
        <translation>采  样  率 ：</translation>
    </message>
    <message>
        <source>通 道 数 量 ：</source>
        <translation>通 道 数 量 ：</translation>
    </message>
    <message>
        <source>音频接口：</source>
        <translation>音频接口：</translation>
    </message>
    <message>
        <source>初始化中...</source>
        <translation>初始化中...</translation>
    </message>
    <message>
        <source>提示：
1. 只支持有线网卡，不支持无线网卡。 
2. 启动/关闭过程需要几秒时间，请耐心等待。
3. 需要 Debian 12 或更高版本系统。</source>
        <translation>提示：
1. 只支持有线网卡，不支持无线网卡。 
2. 启动/关闭过程需要几秒时间，请耐心等待。
3. 需要 Debian 12 或更高版本系统。</translation>
    </message>
    <message>
        <source>当前选择的网卡IP已变化，请重新选择网络后启动</source>
        <translation>当前选择的网卡IP已变化，请重新选择网络后启动</translation>
    </message>
    <message>
        <source>无法获取设备ID，请检查系统环境后重启软件</source>
        <translation>无法获取设备ID，请检查系统环境后重启软件</translation>
    </message>
    <message>
        <source>需要连接有线网络</source>
        <translation>需要连接有线网络</translation>
    </message>
    <message>
        <source>请在 </source>
        <translation>请在 </translation>
    </message>
    <message>
        <source> 秒后开启</source>
        <translation> 秒后开启</translation>
    </message>
    <message>
        <source>没有使用声卡的权限：请把当前用户加入 %1 组（sudo usermod -aG %1 %2），然后重新登录</source>
        <translation>没有使用声卡的权限：请把当前用户加入 %1 组（sudo usermod -aG %1 %2），然后重新登录</translation>
    </message>
    <message>
        <source>启动失败，请检查驱动服务是否正在运行，查看状态：
systemctl status velunor-kernel</source>
        <translation>启动失败，请检查驱动服务是否正在运行，查看状态：
systemctl status velunor-kernel</translation>
    </message>
    <message>
        <source>停止中...</source>
        <translation>停止中...</translation>
    </message>
    <message>
        <source>启动中...</source>
        <translation>启动中...</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>开启</source>
        <translation>开启</translation>
    </message>
    <message>
        <source>请先停止运行再关闭程序</source>
        <translation>请先停止运行再关闭程序</translation>
    </message>
    <message>
        <source>请等程序执行完毕再关闭</source>
        <translation>请等程序执行完毕再关闭</translation>
    </message>
</context>
<context>
    <name>SettingDialog</name>
    <message>
        <source>设置</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>关闭主页面</source>
        <translation>关闭主页面</translation>
    </message>
    <message>
        <source>最小化到系统托盘</source>
        <translation>最小化到系统托盘</translation>
    </message>
    <message>
        <source>退出虚拟声卡</source>
        <translation>退出虚拟声卡</translation>
    </message>
    <message>
        <source>启动设置</source>
        <translation>启动设置</translation>
    </message>
    <message>
        <source>开机后自动打开软件</source>
        <translation>开机后自动打开软件</translation>
    </message>
    <message>
        <source>打开软件后自动开启服务</source>
        <translation>打开软件后自动开启服务</translation>
    </message>
    <message>
        <source>杀毒软件可能阻止设置开机后自动打开软件，如果设置无效，请退出杀毒软件后重试。</source>
        <translation>杀毒软件可能阻止设置开机后自动打开软件，如果设置无效，请退出杀毒软件后重试。</translation>
    </message>
    <message>
        <source>时钟域</source>
        <translation>时钟域</translation>
    </message>
    <message>
        <source>重新开启生效</source>
        <translation>重新开启生效</translation>
    </message>
    <message>
        <source>修复工具</source>
        <translation>修复工具</translation>
    </message>
    <message>
        <source>修复名称乱码</source>
        <translation>修复名称乱码</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>保存</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>保存成功</source>
        <translation>保存成功</translation>
    </message>
    <message>
        <source>设置开机自启动失败，可能是权限不足或被杀毒软件拦截，请稍后重试或联系技术支持。</source>
        <translation>设置开机自启动失败，可能是权限不足或被杀毒软件拦截，请稍后重试或联系技术支持。</translation>
    </message>
    <message>
        <source>修复失败，没有找到配置文件</source>
        <translation>修复失败，没有找到配置文件</translation>
    </message>
    <message>
        <source>修复失败，解析配置文件错误</source>
        <translation>修复失败，解析配置文件错误</translation>
    </message>
    <message>
        <source>修复失败，覆写文件错误</source>
        <translation>修复失败，覆写文件错误</translation>
    </message>
    <message>
        <source>修复成功，重启软件生效</source>
        <translation>修复成功，重启软件生效</translation>
    </message>
</context>
<context>
    <name>TipsDialog</name>
    <message>
        <source>提示</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>1.只支持有线网卡，不支持无线的


2.启动/关闭过程可能需要几秒钟


3.需要 Debian 12 或更高版本系统</source>
        <translation>1.只支持有线网卡，不支持无线的


2.启动/关闭过程可能需要几秒钟


3.需要 Debian 12 或更高版本系统</translation>
    </message>
    <message>
        <source>查看系统版本</source>
        <translation>查看系统版本</translation>
    </message>
</context>
</TS>
