#pragma once

// The main window's controls, built in code. Only layout lives here: no
// handler, no logic. Every control carries its design name as object name.

#include <QList>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMainWindow;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTableView;
class QTimer;
class QWidget;

namespace orvalla
{

struct OrvallaForm {
    QTabWidget *Controis = nullptr;
    QWidget *TabSheet1 = nullptr, *TabSheet2 = nullptr, *TabSheet3 = nullptr, *TabSheet4 = nullptr,
            *TabSheet5 = nullptr, *TabSheet6 = nullptr, *TabSheet7 = nullptr, *TabSheet8 = nullptr,
            *TabSheet9 = nullptr;
    QStatusBar *Status_linha = nullptr;

    // "Principal"
    QLineEdit *Edit_hora = nullptr, *Edit_minuto = nullptr, *Edit_segundo = nullptr;
    QLineEdit *Edit_dia = nullptr, *Edit_mes = nullptr, *Edit_ano = nullptr;
    QLineEdit *Edit_lectura_hora = nullptr, *Edit_lectura_data = nullptr, *Edit_lectura_temperatura = nullptr,
              *Edit_lectura_humidade = nullptr, *Edit_lectura_presion = nullptr,
              *Edit_lectura_rad_solar = nullptr, *Edit_lectura_choiva = nullptr,
              *Edit_lectura_vento_vel = nullptr, *Edit_lectura_vento_dir = nullptr,
              *Edit_lectura_vpila = nullptr, *Edit_lectura_icarga = nullptr;
    QCheckBox *CheckBox_correo_auto = nullptr, *CheckBox_correo_pendente = nullptr,
              *CheckBox_ftp_auto = nullptr, *CheckBox_webcam_auto = nullptr;
    QLineEdit *Edit_correo_intervalo = nullptr, *Edit_ftp_intervalo = nullptr, *Edit_ftp_falta = nullptr;
    QPushButton *Button_smtp_transmit2 = nullptr, *Button_ftp_transmit2 = nullptr;
    QLineEdit *Edit_vref_tx = nullptr, *Edit_cal_pir = nullptr, *Edit_cal_bar = nullptr;
    QLabel *Image1 = nullptr;

    // "Envío Correo"
    QLineEdit *Edit_servidor_smtp = nullptr, *Edit_porto_smtp = nullptr, *Edit_dominio_smtp = nullptr,
              *Edit_usuario_smtp = nullptr, *Edit_clave_smtp = nullptr, *Edit_remitente_smtp = nullptr,
              *Edit_motivo_smtp = nullptr;
    QPlainTextEdit *Memo_destinatarios_smtp = nullptr, *Memo_resultado = nullptr, *Memo_mensaxe = nullptr;
    QPushButton *Button_conectar = nullptr, *Button_envio = nullptr, *Button_desconectar = nullptr,
                *Button_smtp_borra_mensaxe = nullptr, *Button_smtp_transmit = nullptr;
    QComboBox *ComboBox_smtp_seguridade = nullptr; // "ningunha", "STARTTLS", "TLS"

    // "FTP"
    QLineEdit *Edit_ftp_hostname = nullptr, *Edit_ftp_username = nullptr, *Edit_ftp_clave = nullptr,
              *Edit_ftp_port = nullptr, *Edit_ftp_ruta_remota_ficheiro = nullptr,
              *Edit_ftp_ruta_local_ficheiro = nullptr;
    QPlainTextEdit *Memo_ftp_nome_ficheiro = nullptr, *Memo_ftp = nullptr;
    QPushButton *Button_ftp_conectar = nullptr, *Button_ftp_sair = nullptr, *Button_ftp_enviar = nullptr,
                *Button_ftp_desconectar = nullptr, *Button_ftp_transmit = nullptr;
    QCheckBox *CheckBox_ftp_pasivo = nullptr;
    QComboBox *ComboBox_ftp_seguridade = nullptr; // "ningunha", "TLS explícito"
    QLineEdit *Edit_certificados = nullptr; // trusted certificates, for FTP and mail
    QPushButton *Button_certificados = nullptr; // file chooser for Edit_certificados
    QLineEdit *Edit_ftp_ultimo_envio = nullptr, *Edit_ftp_ultimo_fallo = nullptr; // display only
    QLabel *Label_ftp_estado = nullptr; // in the status line: a failing automatic upload

    // "Remoto"
    QLineEdit *Edit_hor2 = nullptr, *Edit_min2 = nullptr, *Edit_seg2 = nullptr;
    QPushButton *Button_ft_abrir = nullptr, *Button_ft_pechar = nullptr, *Button_serie_copiar = nullptr,
                *Button_serie_clear = nullptr;
    QLineEdit *Edit_serie_nome_ficheiro = nullptr, *Edit_datos_intervalo_min = nullptr,
              *Edit_numchar = nullptr, *Edit_serie = nullptr;
    QCheckBox *CheckBox_modo_simulado = nullptr;
    QTableView *SG_serie = nullptr;
    QPlainTextEdit *Memo_serie = nullptr;
    QLineEdit *Edit_base_datos_central = nullptr; // PostgreSQL URI, password included: masked
    QLabel *Label_central_estado = nullptr; // reached or not, readings waiting, last sent
    QLabel *Label_central_linha = nullptr; // the same in the status line

    // "Web"
    QCheckBox *CheckBox_http_activo = nullptr;
    QPushButton *Button_actualiza_htm = nullptr;
    QLineEdit *Edit_http_fonte = nullptr, *Edit_http_destino = nullptr, *Edit_http_ruta = nullptr;

    // "Excel"
    QLineEdit *Edit_excel_ruta_ficheiro = nullptr, *Edit_excel_nome_ficheiro = nullptr;
    QCheckBox *CheckBox_excel_activo = nullptr;
    QPushButton *Button_excel_actualizar = nullptr;
    QLabel *Label_excel_estado = nullptr;
    QLabel *Label_video_estado = nullptr;
    QLabel *Label_http_estado = nullptr;

    // "Vídeo"
    QLineEdit *Edit_video = nullptr, *Edit_audio = nullptr;
    QComboBox *cbVModes = nullptr, *cbAModes = nullptr;
    QPushButton *Button_inicializa_video = nullptr, *Button_previsualiza_video = nullptr,
                *Button_captura_video = nullptr, *Button_fin_previsualiza_video = nullptr,
                *Button_configura_video = nullptr, *Button_finaliza_video = nullptr,
                *Button_actualiza_webcam = nullptr;
    QListWidget *lbDialogs = nullptr;
    QWidget *VideoCapture = nullptr; // holds the capture layer's preview

    // "Estadísticas"
    QLineEdit *Edit_maxmin_ini = nullptr, *Edit_maxmin_int = nullptr, *Edit_maxmin_fallo = nullptr,
              *Edit_maxmin_ndatos = nullptr, *Edit_maxmin_dataact = nullptr, *Edit_maxmin_falloact = nullptr,
              *Edit_maxmin_ndatosact = nullptr, *Edit_maxmin_activo = nullptr, *Edit_maxmin_tini = nullptr,
              *Edit_maxmin_tfin = nullptr, *Edit_maxmin_tempmin = nullptr, *Edit_maxmin_ttempmin = nullptr,
              *Edit_maxmin_tempmax = nullptr, *Edit_maxmin_ttempmax = nullptr, *Edit_maxmin_hummin = nullptr,
              *Edit_maxmin_thummin = nullptr, *Edit_maxmin_hummax = nullptr, *Edit_maxmin_thummax = nullptr;
    QTableView *SG_maxmin = nullptr;

    // "Gráficas"
    QComboBox *ComboBox_grafica_magnitude = nullptr, *ComboBox_grafica_periodo = nullptr;
    QLabel *Image_grafica = nullptr;
    QLineEdit *Edit_grafica_mes_tempmax = nullptr, *Edit_grafica_mes_ttempmax = nullptr,
              *Edit_grafica_mes_tempmin = nullptr, *Edit_grafica_mes_ttempmin = nullptr,
              *Edit_grafica_mes_choiva = nullptr, *Edit_grafica_ano_tempmax = nullptr,
              *Edit_grafica_ano_ttempmax = nullptr, *Edit_grafica_ano_tempmin = nullptr,
              *Edit_grafica_ano_ttempmin = nullptr, *Edit_grafica_ano_choiva = nullptr;

    // Components without a screen area (the other two timers live in their engines).
    QTimer *Timer_reloxo = nullptr;

    // The eleven "ULTIMA LECTURA" fields, in the order of readingScreenTexts.
    QList<QLineEdit *> readingFields() const;
    // The eighteen display-only fields of "Estadísticas", in table order.
    QList<QLineEdit *> statisticsFields() const;

    // Builds every control with its design properties inside the window.
    void setupUi(QMainWindow *window);
};

} // namespace orvalla
