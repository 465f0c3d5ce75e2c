"""One Chinese message per failure cause, as shown to the user.

The application appends "；N 秒后重试" (retrying in N seconds) to the message, so the
texts end without a full stop.
"""

from __future__ import annotations

from . import session as s
from .quoting import LIMIT

MESSAGES: dict[type, str] = {
    s.SpeakerNotFound: "找不到名为“{name}”的 AirPlay 扬声器，请确认它已开机、与本机在同一网络，且名称与“家庭”App 中完全一致",
    s.Unreachable: "无法连接到“{name}”（{address}），请检查网络连接以及防火墙设置",
    s.SpeakerBusy: "“{name}”正被其他设备使用；它空闲后或重新开始转发时再连接",
    s.Preempted: "“{name}”已被其他设备接管；它空闲后或重新开始转发时再连接",
    s.AccessRestricted: "“{name}”拒绝了连接：请在“家庭”App 的家庭设置中将“允许扬声器和电视访问”设为“同一网络中的任何人”",
    s.PasswordRequired: "“{name}”要求输入密码，本程序不支持密码，请在“家庭”App 中关闭该扬声器的“需要密码”",
    s.PairingRequired: "“{name}”要求配对验证，本程序不支持，请在“家庭”App 中将“允许扬声器和电视访问”设为“同一网络中的任何人”并关闭“需要密码”",
    s.FormatRefused: "“{name}”不接受本程序的音频格式（44100 Hz、16 位立体声）",
    s.UnsupportedSpeaker: "“{name}”只接受加密的 AirPlay 音频流，本程序无法向它播放",
    s.TimingPortUnreachable: "“{name}”无法访问本机的 UDP 时钟同步端口，请在防火墙中允许 python3 接收 UDP 连接",
    s.ClockPortsUnavailable: "“{name}”只能用带 PTP 时钟的 AirPlay 2 播放（本机 UDP 端口 319/320），但{reason}",
    s.NoResponse: "“{name}”没有响应，请确认扬声器工作正常",
    s.ClockLost: "无法跟随“{name}”自己的时钟（它不再发出 PTP 同步消息），扬声器放不出声音，请确认它工作正常",
    s.Disconnected: "与“{name}”的连接已断开，重新连接失败",
    s.ClosedBySpeaker: "“{name}”结束了播放会话，重新连接失败",
    s.Stopped: "已停止向“{name}”发送",
    s.ProtocolError: "“{name}”返回了无法处理的应答（{status}）",
}

INTERNAL = "发送器内部错误：{detail}"
NO_NAME = "未指定 AirPlay 扬声器名称"
UNKNOWN_OPTION = "发送器不认识参数“{option}”"
BAD_ARGUMENTS = "发送器的参数有误：{detail}"


def message_for(exc: BaseException, name: str) -> str:
    """The user's message for ``exc`` raised while sending to the speaker ``name``."""
    for cls in type(exc).__mro__:
        template = MESSAGES.get(cls)
        if template is not None:
            context = {"address": "", "status": "", "reason": "", **getattr(exc, "context", {})}
            return template.format(name=name, **context)
    return INTERNAL.format(detail=exc.__class__.__name__ + (": %s" % str(exc)[:LIMIT] if str(exc) else ""))
